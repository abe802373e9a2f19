// CConverterDlg: the main dialog (template 102). Two file fields with their
// browse buttons, the compression choice (one tab stop, the arrow keys move
// within it) with the delta-frames box beside RLE8, the faithful-playback box (both boxes
// remembered between runs), and Convert, About and Exit. A GIF file dropped on it becomes the
// source; a conversion that lasts shows its progress and can be cancelled. The cancel command (the
// About button, Escape, closing the window) opens the About box; only Exit ends the dialog.
#pragma once

#include "fw/String.h"
#include "gfx/Gdi.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>

class DialogUnits;
class CGifPreview;
class QCheckBox;
class QLayout;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

class CConverterDlg : public QDialog {
    Q_OBJECT

public:
    explicit CConverterDlg(QWidget* parent = nullptr);

    // The control with that id (IDC_SOURCE, IDOK, ...), or null.
    QWidget* GetDlgItem(int id) const;

    // Checks the path's ending and puts it into its field; shows the message
    // and selects the field when it is refused. Empty paths (a cancelled file
    // dialog) are refused without a message.
    BOOL ValidateSource(CString& path);
    BOOL ValidateDestination(CString& path);

    // Puts a file given on the command line or dropped on the dialog into
    // the source field, as an absolute path.
    void SetSource(const QString& path);
    // The program's arguments: "tessaly-converter FILE.gif" (how file
    // managers open a GIF with it) starts with FILE as the source.
    void OpenArguments(const QStringList& arguments);

    // Copies the frame's top-left cx x cy pixels onto the canvas at (x, y).
    HBITMAP DrawFrame(HBITMAP canvas, HBITMAP frame, int x, int y, int cx, int cy);

    QIcon m_hIcon;

public slots:
    void OnConvert();
    void OnBrowseSource();
    void OnBrowseDestination();
    void OnAbout();
    // Window-menu commands: IDM_ABOUT opens the About box.
    void OnSysCommand(UINT id);

protected:
    bool OnInitDialog();
    // The cancel command opens the About box instead of ending the dialog.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // One local file ending in ".gif" may be dropped; anything else is
    // refused by the drop cursor.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The dialog's parts, top to bottom: the two fields with their labels
    // and browse buttons, the compression choice with the delta box, and
    // the row of Convert, About and Exit.
    QLayout* MakeFields(const DialogUnits& du);
    QLayout* MakeOptions(const DialogUnits& du);
    QLayout* MakeButtons(const DialogUnits& du);
    QPushButton* MakeButton(int id, const char* name, const char* text, int minWidth);
    void SelectField(int id);
    void ShowWindowMenu(const QPoint& at);

    QLineEdit* m_source = nullptr;
    QLineEdit* m_destination = nullptr;
    QRadioButton* m_rle8 = nullptr;
    QRadioButton* m_noCompression = nullptr;
    QCheckBox* m_faithful = nullptr;
    QCheckBox* m_delta = nullptr;
    QMenu* m_windowMenu = nullptr;
    // The look at the source GIF, right of the controls.
    CGifPreview* m_preview = nullptr;
};

// The framework's file-dialog filter ("GIF files (*.gif) |*.gif|All files
// (*.*)|*.*||") in Qt's form ("GIF files (*.gif);;All files (*.*) (*)").
QString QtFileFilter(const CString& filter);
