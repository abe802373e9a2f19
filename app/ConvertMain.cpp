// tessaly-convert: converts a GIF file into an AVI file from the command line,
// with the dialog's conversion, checks and messages; or many into one folder.
#include "app/BatchConversion.h"
#include "app/CommandLine.h"
#include "app/Conversion.h"
#include "app/MemoryFile.h"
#include "app/PathRules.h"
#include "app/TemporaryFile.h"
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "res/Resource.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-convert [OPTIONS] SOURCE DESTINATION[.avi]\n"
    "       tessaly-convert [OPTIONS] [--force] [-j N] SOURCE... -o FOLDER\n"
    "\n"
    "Converts a picture, usually an animated one, into an AVI video with one\n"
    "frame per image at 15 frames per second. SOURCE is a GIF (.gif), WebP\n"
    "(.webp) or PNG or APNG (.png, .apng) file, read as what its first bytes\n"
    "say; transparent pixels of WebP and PNG frames show their background\n"
    "colour, or black. The second form converts each source into\n"
    "FOLDER/NAME.avi, several at a time.\n"
    "\n"
    "  --rle8             RLE8 compression, 8 bits per pixel (the default)\n"
    "  --delta[=K]        RLE8 with delta frames, a small file: only what changed\n"
    "                     is coded between key frames, one every K frames, 1 to\n"
    "                     1000000 (by default one every 10 seconds of video);\n"
    "                     with --faithful K counts all video frames, those that\n"
    "                     repeat an image included\n"
    "  --uncompressed     no compression, 24 bits per pixel\n"
    "  --faithful         play as the picture animates in a browser: each image\n"
    "                     stays for its delay; in a GIF transparent pixels show\n"
    "                     what lies beneath, disposal methods clear or restore\n"
    "  -o, --output-dir FOLDER\n"
    "                     convert every SOURCE into FOLDER (made if missing)\n"
    "  -j, --jobs N       at most N conversions at once (default: one per processor)\n"
    "  --force            replace videos that exist in FOLDER (else they are skipped)\n"
    "  -q, --quiet        print nothing but errors\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "Options take their value joined by \"=\" or as the next word (--jobs=4,\n"
    "--jobs 4), --delta only joined; \"--\" ends the options. SOURCE \"-\"\n"
    "reads the picture from standard input; DESTINATION \"-\" writes the video to\n"
    "standard output, which must be an empty file (> FILE.avi): the video is\n"
    "written by seeking back into it, which a pipe cannot do. A destination whose\n"
    "name has no dot gets \".avi\" appended. Exit status: 0 when every file was\n"
    "converted (or skipped); 1 when a conversion failed or stopped at an image\n"
    "that could not be read (the video then holds the images before it), or\n"
    "standard output could not be written; 2 for a usage error or a refused file\n"
    "name. Stopped by Ctrl+C, SIGTERM or SIGHUP, it removes what it was writing\n"
    "and ends by that signal (a shell shows 130, 143 or 129).\n";

// The largest --delta interval: a key frame every 1,000,000 frames is more
// than 5 hours apart at 50 frames per second.
constexpr long kMaxKeyFrameEvery = 1000000;

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

const CommandLine::Option kRle8{"--rle8", 0, CommandLine::kNoValue},
    kUncompressed{"--uncompressed", 0, CommandLine::kNoValue},
    kFaithful{"--faithful", 0, CommandLine::kNoValue},
    kDelta{"--delta", 0, CommandLine::kOptionalValue},
    kOutputDir{"--output-dir", 'o', CommandLine::kValue}, kJobs{"--jobs", 'j', CommandLine::kValue},
    kForce{"--force", 0, CommandLine::kNoValue}, kQuiet{"--quiet", 'q', CommandLine::kNoValue};

// -o names a folder. Given one source, a name that can only be meant as the
// video itself is refused rather than made into a folder: an existing file,
// or a new name ending in ".avi".
bool NamesAVideo(const std::string& folder) {
    struct stat status;
    if (stat(folder.c_str(), &status) == 0) return !S_ISDIR(status.st_mode);
    CString ending = CString(folder).Right(4);
    return ending.MakeLower() == ".avi";
}

// The file standard output was opened on, by its path, when the video can be
// written there: a regular file, empty, that the path still names. An AVI
// file is written by seeking back into it, which a pipe or a terminal does
// not allow. Empty when it cannot.
CString StandardOutputFile() {
    struct stat out, named;
    if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode) || out.st_size != 0) return {};
    char path[4096];
    const ssize_t n = readlink("/proc/self/fd/1", path, sizeof path - 1);
    if (n <= 0 || path[0] != '/') return {};
    path[n] = '\0';
    if (stat(path, &named) != 0 || named.st_dev != out.st_dev || named.st_ino != out.st_ino)
        return {};
    return CString(path);
}

} // namespace

int main(int argc, char** argv) {
    // Standard input, once read, is named as such in every message.
    std::unique_ptr<MemoryFile> standardInput;
    auto shown = [&standardInput](const std::string& text) {
        return standardInput ? standardInput->Named(text, "standard input") : text;
    };
    CommandLine line("tessaly-convert", kUsage);
    line.PrintMessages(shown);

    if (!line.Parse(argc, argv,
                    {kRle8, kUncompressed, kFaithful, kDelta, kOutputDir, kJobs, kForce, kQuiet}))
        return line.ExitStatus();
    CBatchConversion::Options options;
    std::optional<std::string> folder;
    bool forced = false;
    for (const CommandLine::Given& given : line.given()) {
        if (given.Is(kRle8)) {
            options.uncompressed = false;
        } else if (given.Is(kUncompressed)) {
            options.uncompressed = true;
        } else if (given.Is(kFaithful)) {
            options.faithful = true;
        } else if (given.Is(kForce)) {
            options.force = forced = true;
        } else if (given.Is(kQuiet)) {
            options.quiet = true;
        } else if (given.Is(kDelta) && !given.hasValue) {
            options.keyFrameEvery = CConversion::kDeltaEvery10Seconds;
        } else if (given.Is(kDelta)) {
            const long k = WholeNumber(given.value.c_str(), 1, kMaxKeyFrameEvery);
            if (k < 0)
                return line.UsageError("--delta=" + given.value +
                                       ": K must be a whole number of frames from 1 to " +
                                       std::to_string(kMaxKeyFrameEvery));
            options.keyFrameEvery = int(k);
        } else if (given.Is(kOutputDir)) {
            if (given.value.empty()) return line.UsageError("-o: the folder is missing");
            folder = given.value;
        } else if (given.Is(kJobs)) {
            const long n = WholeNumber(given.value.c_str(), 1, 256);
            if (n < 0)
                return line.UsageError("-j " + given.value +
                                       ": N must be a whole number from 1 to 256");
            options.jobs = int(n);
        }
    }
    const std::vector<std::string>& paths = line.operands();
    if (options.keyFrameEvery != 0 && options.uncompressed)
        return line.UsageError("--delta is for RLE8 videos, not --uncompressed");
    const char* kTwoNames = "tessaly-convert SOURCE.gif DESTINATION.avi";
    if (folder) {
        if (paths.empty()) return line.UsageError("no source to convert into " + *folder);
        if (std::find(paths.begin(), paths.end(), "-") != paths.end())
            return line.UsageError(std::string("standard input (-) is converted into one video "
                                               "by the two names' form: ") +
                                   kTwoNames);
        if (paths.size() == 1 && NamesAVideo(*folder))
            return line.UsageError(
                "-o " + *folder +
                ": -o names a folder; to make one video, give the two names: " + kTwoNames);
        return line.Finish(CBatchConversion::Run(std::vector<CString>(paths.begin(), paths.end()),
                                                 CString(*folder), options));
    }
    if (forced) return line.UsageError("--force is for converting into a folder (-o FOLDER)");
    if (paths.size() != 2)
        return line.UsageError(paths.size() < 2 ? "a source and a destination are needed"
                                                : "too many names for one video; to convert "
                                                  "several sources, name a folder with -o");
    const bool uncompressed = options.uncompressed, faithful = options.faithful,
               quiet = options.quiet;
    const int keyFrameEvery = options.keyFrameEvery;

    const bool fromInput = paths[0] == "-", toOutput = paths[1] == "-";
    // Standard input is known as a picture by its first bytes, not by a name.
    // /dev/stdin stands for it while the destination is checked, so that the
    // very file it reads is refused as the destination.
    CString source(fromInput ? "/dev/stdin" : paths[0]), destination(paths[1]);
    if (source.IsEmpty() || (!fromInput && !HasSourceEnding(source)))
        return ShowError(CConversion::Message(IDS_BAD_SOURCE_EXT, source)), 2;
    if (toOutput) {
        destination = StandardOutputFile();
        if (destination.IsEmpty())
            return line.UsageError("-: an AVI video cannot be written to a pipe or a terminal; "
                                   "standard output must be an empty file (> FILE.avi)");
    } else if (destination.IsEmpty() || !FixAviDestination(destination)) {
        return ShowError(CConversion::Message(IDS_BAD_DEST_EXT, destination)), 2;
    }
    if (const UINT refused = CConversion::CheckDestination(source, destination)) {
        AfxMessageBox(CConversion::Message(refused, destination), MB_OK | MB_ICONERROR);
        return 2;
    }
    if (fromInput) {
        auto input = std::make_unique<MemoryFile>("standard input");
        if (!input->ok() || !input->FillFrom(STDIN_FILENO)) {
            std::fprintf(stderr, "tessaly-convert: standard input: %s\n", std::strerror(errno));
            return 1;
        }
        source = input->path();
        standardInput = std::move(input);
    }

    // An interrupted conversion leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    // A progress line for people watching, not for logs.
    const bool tty = !quiet && isatty(STDERR_FILENO);
    auto progress = [tty](int done, int images) {
        if (tty) std::fprintf(stderr, "\rconverting: image %d of %d", done, images);
        return true;
    };
    auto longVideo = [&](const CConversion::Result& planned) {
        if (quiet) return;
        const CString notice = CConversion::LongVideoNotice(source, planned.longVideoSeconds);
        std::fprintf(stderr, "tessaly-convert: %s\n", shown(notice.str()).c_str());
    };
    HDC screen = GetDC(nullptr);
    CConversion::Result result = CConversion::Run(source, destination, uncompressed, screen,
                                                  progress, faithful, keyFrameEvery, longVideo);
    ReleaseDC(nullptr, screen);
    if (tty && result.frames > 0) std::fputc('\n', stderr);

    // What the default mode left out of a video, said once after the outcome.
    auto hint = [&result, quiet] {
        const bool video = result.converted || result.messageId == IDS_PARTLY_CONVERTED;
        if (quiet || !video || !result.faithfulDiffers) return;
        if (result.gif)
            std::fputs("tessaly-convert: this GIF uses transparency, disposal or delays that the "
                       "video leaves out; --faithful plays it as browsers do\n",
                       stderr);
        else
            std::fputs("tessaly-convert: this picture has frame durations that the video leaves "
                       "out; --faithful plays it as browsers do\n",
                       stderr);
    };
    if (!result.converted) {
        AfxMessageBox(CConversion::Message(result), MB_OK | MB_ICONERROR);
        hint();
        return 1;
    }
    // The video is the standard output: the message goes to standard error.
    if (!quiet)
        std::fprintf(toOutput ? stderr : stdout, "%s\n",
                     static_cast<LPCTSTR>(CConversion::Message(result)));
    // The hint follows the message also where both outputs go to one file
    // (a failed write is still seen at the end).
    std::fflush(stdout);
    hint();
    return line.Finish(0);
}
