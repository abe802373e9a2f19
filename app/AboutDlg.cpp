#include "app/AboutDlg.h"

#include "app/DialogUnits.h"
#include "app/Version.h"
#include "res/Icon.h"
#include "res/Resource.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Tessaly Converter"));
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    const DialogUnits du(font());

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(kIcon32));
    auto* name = new QLabel(QStringLiteral("Tessaly Converter Version " TESSALY_VERSION), this);
    auto* credit = new QLabel(QStringLiteral("GIF pictures into AVI videos, frame by frame"), this);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setMinimumWidth(du.X(50));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The icon, the two lines of text beside it, and OK at the top right; the
    // box takes the size its texts need in the font and dpi of the day.
    auto* texts = new QVBoxLayout;
    texts->setSpacing(du.Y(7));
    texts->addWidget(name);
    texts->addWidget(credit);
    texts->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->setContentsMargins(du.X(11), du.Y(10), du.X(7), du.Y(7));
    layout->setSpacing(du.X(11));
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addLayout(texts, 1);
    layout->addWidget(ok, 0, Qt::AlignTop);
}
