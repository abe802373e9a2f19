#include "app/AboutDlg.h"

#include "app/DialogUnits.h"
#include "app/Version.h"
#include "res/Icon.h"
#include "res/Resource.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Tessaly Converter"));
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    const DialogUnits du(font());
    setFixedSize(du.X(235), du.Y(67));

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(kIcon32));
    icon->setGeometry(du.X(11), du.Y(17), 32, 32);
    auto* name = new QLabel(QStringLiteral("Tessaly Converter Version " TESSALY_VERSION), this);
    du.Place(name, 40, 10, 119, 8);
    auto* credit = new QLabel(QStringLiteral("GIF pictures into AVI videos, frame by frame"), this);
    du.Place(credit, 40, 25, 133, 8);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    du.Place(ok, 178, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
