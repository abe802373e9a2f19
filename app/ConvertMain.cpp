// tessaly-convert: converts a GIF file into an AVI file from the command line,
// with the dialog's conversion, checks and messages; or many into one folder.
#include "app/BatchConversion.h"
#include "app/Conversion.h"
#include "app/PathRules.h"
#include "app/StandardOptions.h"
#include "app/TemporaryFile.h"
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "res/Resource.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-convert [OPTIONS] SOURCE.gif DESTINATION[.avi]\n"
    "       tessaly-convert [OPTIONS] [--force] [-j N] SOURCE.gif... -o FOLDER\n"
    "\n"
    "Converts a GIF picture, usually an animated GIF, into an AVI video with one\n"
    "frame per GIF image at 15 frames per second. The second form converts each\n"
    "source into FOLDER/NAME.avi, several at a time.\n"
    "\n"
    "  --rle8             RLE8 compression, 8 bits per pixel (the default)\n"
    "  --delta[=K]        RLE8 with delta frames, a small file: only what changed\n"
    "                     is coded between key frames, one every K frames, 1 to\n"
    "                     1000000 (by default one every 10 seconds of video);\n"
    "                     with --faithful K counts all video frames, those that\n"
    "                     repeat an image included\n"
    "  --uncompressed     no compression, 24 bits per pixel\n"
    "  --faithful         play as the GIF animates in a browser: transparent pixels\n"
    "                     show what lies beneath, disposal methods clear or restore,\n"
    "                     and each image stays for its delay\n"
    "  -o, --output-dir FOLDER\n"
    "                     convert every SOURCE into FOLDER (made if missing)\n"
    "  -j, --jobs N       at most N conversions at once (default: one per processor)\n"
    "  --force            replace videos that exist in FOLDER (else they are skipped)\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "A destination whose name has no dot gets \".avi\" appended. Exit status: 0\n"
    "when every file was converted (or skipped); 1 when a conversion failed,\n"
    "stopped at an image that could not be read (the video then holds the images\n"
    "before it), or was interrupted (130 for Ctrl+C); 2 for a usage error or a\n"
    "refused file name.\n";

// The largest --delta interval: a key frame every 1,000,000 frames is more
// than 5 hours apart at 50 frames per second.
constexpr long kMaxKeyFrameEvery = 1000000;

int UsageError(const std::string& what) {
    std::fprintf(stderr, "tessaly-convert: %s\n%s", what.c_str(), kUsage);
    return 2;
}

// A whole number from `text` within [low, high], or -1.
long WholeNumber(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && n >= low && n <= high ? n : -1;
}

// Every error goes to standard error, as the dialog shows it in a box.
void ShowError(const CString& text) {
    AfxMessageBox(text, MB_OK | MB_ICONERROR);
}

} // namespace

int main(int argc, char** argv) {
    AfxSetMessagePresenter([](LPCTSTR text, UINT) {
        std::fprintf(stderr, "tessaly-convert: %s\n", text);
        return IDOK;
    });

    CBatchConversion::Options options;
    std::optional<std::string> folder;
    std::vector<std::string> paths;
    // The value of an option given as "--name VALUE" or "--name=VALUE".
    auto value = [&](int& i, const std::string& arg,
                     const char* name) -> std::optional<std::string> {
        // Short options take their value attached as well: -j4, -ovideos.
        const std::string prefix = std::string(name) + (name[1] == '-' ? "=" : "");
        if (arg == name) return i + 1 < argc ? std::optional(std::string(argv[++i])) : std::nullopt;
        if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (AnswerStandardOption(arg, "tessaly-convert", kUsage)) return 0;
        std::optional<std::string> given;
        if (arg == "--rle8") {
            options.uncompressed = false;
        } else if (arg == "--uncompressed") {
            options.uncompressed = true;
        } else if (arg == "--faithful") {
            options.faithful = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--delta") {
            options.keyFrameEvery = CConversion::kDeltaEvery10Seconds;
        } else if (arg.rfind("--delta=", 0) == 0) {
            const long k = WholeNumber(arg.c_str() + 8, 1, kMaxKeyFrameEvery);
            if (k < 0)
                return UsageError(arg + ": K must be a whole number of frames from 1 to " +
                                  std::to_string(kMaxKeyFrameEvery));
            options.keyFrameEvery = int(k);
        } else if ((given = value(i, arg, "-o")) || (given = value(i, arg, "--output-dir"))) {
            if (given->empty()) return UsageError(arg + ": the folder is missing");
            folder = *given;
        } else if ((given = value(i, arg, "-j")) || (given = value(i, arg, "--jobs"))) {
            const long n = WholeNumber(given->c_str(), 1, 256);
            if (n < 0) return UsageError(arg + ": N must be a whole number from 1 to 256");
            options.jobs = int(n);
        } else if (arg == "-o" || arg == "--output-dir" || arg == "-j" || arg == "--jobs") {
            return UsageError(arg + " needs a value");
        } else if (arg == "--") {
            for (++i; i < argc; ++i) paths.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (options.keyFrameEvery != 0 && options.uncompressed)
        return UsageError("--delta is for RLE8 videos, not --uncompressed");
    if (folder) {
        if (paths.empty()) return UsageError("no source to convert into " + *folder);
        return CBatchConversion::Run(std::vector<CString>(paths.begin(), paths.end()),
                                     CString(*folder), options);
    }
    if (paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const bool uncompressed = options.uncompressed, faithful = options.faithful;
    const int keyFrameEvery = options.keyFrameEvery;

    CString source(paths[0]), destination(paths[1]);
    // A refused name is said with the name.
    if (source.IsEmpty() || !HasGifEnding(source))
        return ShowError(CConversion::Message(IDS_BAD_SOURCE_EXT, source)), 2;
    if (destination.IsEmpty() || !FixAviDestination(destination))
        return ShowError(CConversion::Message(IDS_BAD_DEST_EXT, destination)), 2;
    if (const UINT refused = CConversion::CheckDestination(source, destination)) {
        AfxMessageBox(CConversion::Message(refused, destination), MB_OK | MB_ICONERROR);
        return 2;
    }

    // An interrupted conversion leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    // A progress line for people watching, not for logs.
    const bool tty = isatty(STDERR_FILENO);
    auto progress = [tty](int done, int images) {
        if (tty) std::fprintf(stderr, "\rconverting: image %d of %d", done, images);
        return true;
    };
    auto longVideo = [&source](const CConversion::Result& planned) {
        std::fprintf(
            stderr, "tessaly-convert: %s\n",
            static_cast<LPCTSTR>(CConversion::LongVideoNotice(source, planned.longVideoSeconds)));
    };
    HDC screen = GetDC(nullptr);
    CConversion::Result result = CConversion::Run(source, destination, uncompressed, screen,
                                                  progress, faithful, keyFrameEvery, longVideo);
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
