// tessaly-convert: converts a GIF file into an AVI file from the command line,
// with the dialog's conversion, checks and messages.
#include "app/Conversion.h"
#include "app/PathRules.h"
#include "app/StandardOptions.h"
#include "app/TemporaryFile.h"
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "res/Resource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-convert [--rle8 [--delta[=K]] | --uncompressed] [--faithful]\n"
    "                       SOURCE.gif DESTINATION[.avi]\n"
    "\n"
    "Converts a GIF picture, usually an animated GIF, into an AVI video with one\n"
    "frame per GIF image at 15 frames per second.\n"
    "\n"
    "  --rle8          RLE8 compression, 8 bits per pixel (the default)\n"
    "  --delta[=K]     RLE8 with delta frames, a small file: only what changed\n"
    "                  is coded between key frames, one every K frames (by\n"
    "                  default one every 10 seconds of video)\n"
    "  --uncompressed  no compression, 24 bits per pixel\n"
    "  --faithful      play as the GIF animates in a browser: transparent pixels\n"
    "                  show what lies beneath, disposal methods clear or restore,\n"
    "                  and each image stays for its delay\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "\n"
    "A destination whose name has no dot gets \".avi\" appended. Exit status: 0\n"
    "when the file was converted; 1 when the conversion failed, stopped at an\n"
    "image that could not be read (the video then holds the images before it), or\n"
    "was interrupted (130 for Ctrl+C); 2 for a usage error or a refused file name.\n";

// Every error goes to standard error, as the dialog shows it in a box.
void ShowError(UINT id) {
    AfxMessageBox(id, MB_OK | MB_ICONERROR);
}

} // namespace

int main(int argc, char** argv) {
    AfxSetMessagePresenter([](LPCTSTR text, UINT) {
        std::fprintf(stderr, "tessaly-convert: %s\n", text);
        return IDOK;
    });

    bool uncompressed = false;
    bool faithful = false;
    int keyFrameEvery = 0;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (AnswerStandardOption(arg, "tessaly-convert", kUsage)) return 0;
        if (arg == "--rle8") {
            uncompressed = false;
        } else if (arg == "--uncompressed") {
            uncompressed = true;
        } else if (arg == "--faithful") {
            faithful = true;
        } else if (arg == "--delta") {
            keyFrameEvery = CConversion::kDeltaEvery10Seconds;
        } else if (arg.rfind("--delta=", 0) == 0) {
            char* end = nullptr;
            const long k = std::strtol(arg.c_str() + 8, &end, 10);
            if (end == arg.c_str() + 8 || *end != '\0' || k < 1 || k > 1000000) {
                std::fprintf(
                    stderr,
                    "tessaly-convert: %s: K must be a whole number of frames, 1 or more\n%s",
                    arg.c_str(), kUsage);
                return 2;
            }
            keyFrameEvery = int(k);
        } else if (arg == "--") {
            for (++i; i < argc; ++i) paths.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "tessaly-convert: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (keyFrameEvery != 0 && uncompressed) {
        std::fprintf(stderr, "tessaly-convert: --delta is for RLE8 videos, not --uncompressed\n%s",
                     kUsage);
        return 2;
    }
    if (paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    CString source(paths[0]), destination(paths[1]);
    if (source.IsEmpty() || !HasGifEnding(source)) return ShowError(IDS_BAD_SOURCE_EXT), 2;
    if (destination.IsEmpty() || !FixAviDestination(destination))
        return ShowError(IDS_BAD_DEST_EXT), 2;
    if (const UINT refused = CConversion::CheckDestination(source, destination)) {
        AfxMessageBox(CConversion::Message(refused, destination), MB_OK | MB_ICONERROR);
        return 2;
    }

    // An interrupted conversion leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    // A progress line for people watching, not for logs.
    const bool tty = isatty(STDERR_FILENO);
    auto progress = [tty](int frames) {
        if (tty) std::fprintf(stderr, "\rconverting: frame %d", frames);
    };
    HDC screen = GetDC(nullptr);
    CConversion::Result result = CConversion::Run(source, destination, uncompressed, screen,
                                                  progress, faithful, keyFrameEvery);
    ReleaseDC(nullptr, screen);
    if (tty && result.frames > 0) std::fputc('\n', stderr);

    // What the default mode left out of a video, said once after the outcome.
    auto hint = [&result] {
        const bool video = result.converted || result.messageId == IDS_PARTLY_CONVERTED;
        if (video && result.faithfulDiffers)
            std::fputs("tessaly-convert: this GIF uses transparency, disposal or delays that the "
                       "video leaves out; --faithful plays it as browsers do\n",
                       stderr);
    };
    if (!result.converted) {
        AfxMessageBox(CConversion::Message(result), MB_OK | MB_ICONERROR);
        hint();
        return 1;
    }
    std::printf("%s\n", static_cast<LPCTSTR>(CConversion::Message(result)));
    std::fflush(stdout);
    hint();
    return 0;
}
