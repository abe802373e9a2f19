// How long the dialog's thread is kept busy while the preview reads a large
// GIF: every event the application delivers on that thread is timed, from
// the moment the source field takes the path until the preview shows its
// figures, and the longest is reported with the time the typing itself took
// and the time until the figures showed. The mode controls are timed too.
//
//   scripts/make-bench-gif photo
//   QT_QPA_PLATFORM=offscreen build/bench/preview_bench [GIF] [--picture PNG]
//
// The default GIF is /tmp/tessaly-bench/photo-640x480x300.gif. It reports
// figures; it does not pass or fail.
#include "app/ConverterDlg.h"
#include "app/GifPreview.h"
#include "res/Resource.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

// Times each event delivered on the application's thread while `timing`.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing) return QApplication::notify(receiver, event);
        QElapsedTimer clock;
        clock.start();
        const bool handled = QApplication::notify(receiver, event);
        const qint64 ns = clock.nsecsElapsed();
        if (ns > longestNs) {
            longestNs = ns;
            longestWhat = QStringLiteral("%1 to %2")
                              .arg(int(event->type()))
                              .arg(QString::fromUtf8(receiver->metaObject()->className()));
        }
        ++events;
        return handled;
    }
    bool timing = false;
    qint64 longestNs = 0;
    QString longestWhat;
    long events = 0;
};

double Ms(qint64 ns) {
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    // The dialog's remembered check boxes go to a folder of this run.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    TimingApplication app(argc, argv);
    QString gif = QStringLiteral("/tmp/tessaly-bench/photo-640x480x300.gif"), picture;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--picture") && i + 1 < arguments.size())
            picture = arguments[++i];
        else
            gif = arguments[i];
    }
    CConverterDlg dlg;
    dlg.show();
    auto* source = qobject_cast<QLineEdit*>(dlg.GetDlgItem(IDC_SOURCE));
    auto* preview = dlg.findChild<CGifPreview*>(QStringLiteral("preview"));
    if (!source || !preview) return 1;
    QApplication::processEvents();

    qint64 worstNs = 0;
    for (int run = 1; run <= 3; ++run) {
        source->clear();
        QApplication::processEvents();
        app.timing = true;
        app.longestNs = 0;
        app.events = 0;
        QElapsedTimer wall;
        wall.start();
        QElapsedTimer typing;
        typing.start();
        source->setText(gif);
        const qint64 typingNs = typing.nsecsElapsed();
        while (preview->IsReading() && wall.elapsed() < 120000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const qint64 shownNs = wall.nsecsElapsed();
        // The preview's part of a change of mode (the dialog's own, such as
        // remembering a check box, is not the preview's).
        qint64 modesNs = 0;
        for (const int mode : {1, 2, 4, 0}) {
            QElapsedTimer clock;
            clock.start();
            preview->SetMode(mode & 1, mode & 2, mode & 4);
            modesNs = std::max(modesNs, clock.nsecsElapsed());
        }
        QApplication::processEvents();
        app.timing = false;
        worstNs = std::max({worstNs, app.longestNs, typingNs, modesNs});
        std::printf("run %d: setText %.2f ms, longest of %ld events %.2f ms (%s), mode change "
                    "%.2f ms, figures after %.0f ms\n",
                    run, Ms(typingNs), app.events, Ms(app.longestNs),
                    app.longestWhat.toUtf8().constData(), Ms(modesNs), Ms(shownNs));
    }
    std::printf("longest time on the dialog's thread: %.2f ms\n%s\n", Ms(worstNs),
                preview->Text().toUtf8().constData());
    // The other modes' figures, to set beside the files tessaly-convert writes.
    auto last = [preview] { return preview->Text().section(QLatin1Char('\n'), -1); };
    qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_DELTA))->setChecked(true);
    std::printf("delta: %s\n", last().toUtf8().constData());
    qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_NO_COMPRESSION))->setChecked(true);
    std::printf("uncompressed: %s\n", last().toUtf8().constData());
    if (!picture.isEmpty()) dlg.grab().save(picture);
    return 0;
}
