// tessaly-converter: the dialog application.
#include "app/ConverterApp.h"
#include "app/StandardOptions.h"
#include "app/TemporaryFile.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-converter [FILE]\n"
    "\n"
    "Opens the Tessaly Converter dialog, which converts a picture, usually an\n"
    "animated one (GIF, WebP or APNG), into an AVI video; FILE (.gif, .webp,\n"
    ".png or .apng), when given, becomes its source.\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are accepted too.\n"
    "\n"
    "  --help             show this text\n"
    "  --version          show the version\n";

bool IsSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// Qt takes its platform from -platform (or --platform), then from
// QT_QPA_PLATFORM, and otherwise from the display the session names; with
// none of them it could only fail.
bool NamesADisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

[[noreturn]] void CannotOpenDisplay(const std::string& reason) {
    std::fprintf(stderr, "tessaly-converter: cannot open a display (%s)\n", reason.c_str());
    std::fflush(stderr);
    _exit(1);
}

// When the display named cannot be opened, Qt warns ("could not connect to
// display :5"), then ends the program with a fatal message of several lines
// and abort(). While the application starts, Qt's messages are held here: a
// fatal one becomes one line of ours and exit status 1, with the reason Qt
// gave; after a good start the held messages go out as Qt would have sent
// them.
struct HeldMessage {
    QtMsgType type;
    const char* category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void HoldWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.category, text});
        return;
    }
    // The display's own complaint when there is one, else the first line of
    // the first warning (a platform plugin that is not installed).
    QString reason;
    for (const HeldMessage& held : heldMessages)
        if (held.text.contains(QStringLiteral("connect to display")) ||
            held.text.contains(QStringLiteral("wl_display"))) {
            reason = held.text;
            break;
        }
    if (reason.isEmpty() && !heldMessages.empty()) reason = heldMessages.front().text;
    reason = reason.section(QLatin1Char('\n'), 0, 0).trimmed();
    CannotOpenDisplay(reason.isEmpty() ? "no Qt platform plugin could start"
                                       : reason.toStdString());
}

void SendHeldMessages() {
    for (const HeldMessage& held : heldMessages)
        qt_message_output(held.type, QMessageLogContext(nullptr, 0, nullptr, held.category),
                          held.text);
    heldMessages.clear();
}

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they work without a display.
    if (argc == 2 && AnswerStandardOption(argv[1], "tessaly-converter", kUsage)) return 0;
    if (!NamesADisplay(argc, argv)) CannotOpenDisplay("DISPLAY and WAYLAND_DISPLAY are unset");
    // A conversion interrupted by a signal leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    const QtMessageHandler previous = qInstallMessageHandler(HoldWhileStarting);
    CConverterApp app(argc, argv);
    qInstallMessageHandler(previous);
    SendHeldMessages();
    app.InitInstance();
    return 0;
}
