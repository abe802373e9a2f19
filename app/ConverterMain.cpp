// tessaly-converter: the dialog application.
#include "app/ConverterApp.h"
#include "app/StandardOptions.h"
#include "app/TemporaryFile.h"

namespace {

constexpr const char* kUsage =
    "usage: tessaly-converter [FILE.gif]\n"
    "\n"
    "Opens the Tessaly Converter dialog, which converts a GIF picture, usually an\n"
    "animated GIF, into an AVI video; FILE.gif, when given, becomes its source.\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are accepted too.\n"
    "\n"
    "  --help             show this text\n"
    "  --version          show the version\n";

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they work without a display.
    if (argc == 2 && AnswerStandardOption(argv[1], "tessaly-converter", kUsage)) return 0;
    // A conversion interrupted by a signal leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    CConverterApp app(argc, argv);
    app.InitInstance();
    return 0;
}
