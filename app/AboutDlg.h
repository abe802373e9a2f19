// CAboutDlg: the About box (template 100): the icon, the program's name and
// version, a credit line and an OK button.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
