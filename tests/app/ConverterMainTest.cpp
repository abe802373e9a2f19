// tessaly-converter as a process, where no display can be opened: one line
// on standard error that says why, and exit status 1, never Qt's abort.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// Runs tessaly-converter with `arguments` and this environment without any
// display, changed by `set` ("NAME=value"), and answers its standard error.
QString RunConverter(QProcess& process, const QStringList& arguments, const QStringList& set) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const QString& setting : set)
        environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TESSALY_CONVERTER), arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << "still running after a minute";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    return QString::fromLocal8Bit(process.readAllStandardError());
}

TEST(ConverterMainTest, WithoutADisplayItSaysWhyInOneLine) {
    // A display number with no X server behind it.
    int absent = 4711;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(absent))) ++absent;
    const QString display = QStringLiteral(":%1").arg(absent);
    const struct {
        QStringList set;
        QString reason;
    } cases[] = {
        {{}, "DISPLAY and WAYLAND_DISPLAY are unset"},
        {{"DISPLAY=" + display}, "could not connect to display " + display},
        {{"QT_QPA_PLATFORM=xcb"}, "could not connect to display"},
    };
    for (const auto& c : cases) {
        QProcess process;
        const QString err = RunConverter(process, {}, c.set);
        const std::string what = c.set.join(' ').toStdString();
        EXPECT_EQ(process.exitCode(), 1) << what;
        EXPECT_EQ(err, "tessaly-converter: cannot open a display (" + c.reason + ")\n") << what;
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << what;
    }
}

// A platform given on the command line needs no display variable.
TEST(ConverterMainTest, APlatformOptionIsNotRefused) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString picture = folder.filePath(QStringLiteral("dialog.png"));
    QProcess process;
    const QString err =
        RunConverter(process, {QStringLiteral("-platform"), QStringLiteral("offscreen")},
                     {"TESSALY_SCREENSHOT=" + picture, "XDG_CONFIG_HOME=" + folder.path()});
    EXPECT_EQ(process.exitCode(), 0) << err.toStdString();
    EXPECT_GT(QFileInfo(picture).size(), 0) << "the dialog was shown";
}

} // namespace
