// tessaly-converter as a process, where no display can be opened: one line
// on standard error that says why, and exit status 1, never Qt's abort.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct Outcome {
    int status = -1;
    bool crashed = true;
    QString out, err;
};

// Runs tessaly-converter with `arguments`, its environment this one's
// without any display, changed by `set` ("NAME=value").
Outcome Converter(const QStringList& arguments, const QStringList& set = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const QString& setting : set)
        environment.insert(setting.section(QLatin1Char('='), 0, 0),
                           setting.section(QLatin1Char('='), 1));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TESSALY_CONVERTER), arguments);
    Outcome run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitCode();
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// A display number with no X server behind it.
QString AbsentDisplay() {
    int n = 4711;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))) ++n;
    return QStringLiteral(":%1").arg(n);
}

TEST(ConverterMainTest, WithoutADisplayItSaysWhyInOneLine) {
    const QString absent = AbsentDisplay();
    const struct {
        QStringList set;
        QString reason;
    } cases[] = {
        {{}, "DISPLAY and WAYLAND_DISPLAY are unset"},
        {{"DISPLAY=" + absent}, "could not connect to display " + absent},
        {{"QT_QPA_PLATFORM=xcb"}, "could not connect to display"},
    };
    for (const auto& c : cases) {
        const Outcome run = Converter({}, c.set);
        const std::string what = c.set.join(' ').toStdString();
        EXPECT_FALSE(run.crashed) << what;
        EXPECT_EQ(run.status, 1) << what;
        EXPECT_EQ(run.err, "tessaly-converter: cannot open a display (" + c.reason + ")\n") << what;
        EXPECT_TRUE(run.out.isEmpty()) << what;
    }
}

// A platform given on the command line needs no display variable.
TEST(ConverterMainTest, APlatformOptionIsNotRefused) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString picture = folder.filePath(QStringLiteral("dialog.png"));
    const Outcome run =
        Converter({QStringLiteral("-platform"), QStringLiteral("offscreen")},
                  {"TESSALY_SCREENSHOT=" + picture, "XDG_CONFIG_HOME=" + folder.path()});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo(picture).size() > 0) << "the dialog was shown";
}

} // namespace
