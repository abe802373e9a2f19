#include "app/ConverterApp.h"

#include "app/ConverterDlg.h"
#include "app/Version.h"
#include "fw/MessageBox.h"

#include <QMessageBox>
#include <QTimer>

CConverterApp::CConverterApp(int& argc, char** argv) : m_app(argc, argv) {
    QApplication::setApplicationName(QStringLiteral("Tessaly Converter"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
    // Docks and task bars match the window to the desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tessaly.Converter"));
    // Message boxes have an OK button only, over the active window.
    // The reason of a failure stands below the message.
    AfxSetMessagePresenter([](LPCTSTR text, UINT type, LPCTSTR detail) {
        QMessageBox box(type & MB_ICONERROR ? QMessageBox::Warning : QMessageBox::Information,
                        QApplication::applicationName(), QString::fromUtf8(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.setInformativeText(QString::fromUtf8(detail));
        // A box shown while a conversion runs (the GIF cannot be opened)
        // wants the ordinary cursor; the wait cursor comes back after it.
        QCursor* waiting = QApplication::overrideCursor();
        const QCursor saved = waiting ? *waiting : QCursor();
        if (waiting) QApplication::restoreOverrideCursor();
        box.exec();
        if (waiting) QApplication::setOverrideCursor(saved);
        return IDOK;
    });
}

bool CConverterApp::InitInstance() {
    CConverterDlg dialog;
    dialog.OpenArguments(QApplication::arguments());
    // TESSALY_SCREENSHOT=file.png: show the dialog, save a picture of it and
    // leave (for the README's screenshot).
    const QString screenshot = qEnvironmentVariable("TESSALY_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(1500, &dialog, [&dialog, screenshot] {
            dialog.grab().save(screenshot);
            dialog.accept();
        });
    }
    dialog.exec();
    return false;
}
