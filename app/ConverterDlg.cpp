#include "app/ConverterDlg.h"

#include "app/AboutDlg.h"
#include "app/Conversion.h"
#include "app/DialogUnits.h"
#include "app/GifPreview.h"
#include "app/PathRules.h"
#include "fw/MessageBox.h"
#include "res/Icon.h"
#include "res/Resource.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QShortcut>
#include <QStringList>
#include <QVBoxLayout>

namespace {

CString FromQt(const QString& text) {
    return CString(text.toStdString());
}
QString ToQt(const CString& text) {
    return QString::fromStdString(text.str());
}
// Where the dialog keeps what it remembers between runs.
QSettings Settings() {
    return QSettings(QStringLiteral("Tessaly"), QStringLiteral("Tessaly Converter"));
}
constexpr const char* kFaithfulKey = "faithful";
constexpr const char* kDeltaKey = "delta";

QString LoadText(UINT id) {
    CString text;
    text.LoadString(id);
    return ToQt(text);
}

// The conversion runs on the user-interface thread, which lets the event
// loop run from the conversion's progress callback every 20 ms or so: the
// dialog repaints and moves, and a conversion that lasts half a second (or
// is seen early on to be going to) shows a window-modal progress dialog
// whose Cancel (or Escape, or closing it) stops the conversion at the next
// image. Until that dialog shows, user input waits, to be delivered after it
// (and then refused by its modality) or after the conversion, as if the event
// loop had not run. A worker thread would need the graphics layer's tables to
// be shared between threads; this way every graphics call stays on one thread.
class ConversionProgress {
public:
    explicit ConversionProgress(QWidget* parent)
        : dialog_(QString(), QStringLiteral("Cancel"), 0, 1, parent) {
        dialog_.setWindowTitle(QStringLiteral("Tessaly Converter"));
        dialog_.setObjectName(QStringLiteral("progress"));
        dialog_.setWindowModality(Qt::WindowModal);
        dialog_.setAutoReset(false);
        dialog_.setAutoClose(false);
        dialog_.setMinimumDuration(kShowAfterMs);
        dialog_.setValue(0);
    }

    CConversion::Progress Callback() {
        return [this](int done, int images) { return Hear(done, images); };
    }
    void Close() { dialog_.close(); }

private:
    static constexpr int kShowAfterMs = 500;
    static constexpr int kEventsEveryMs = 20;

    bool Hear(int done, int images) {
        if (sinceEvents_.isValid() && sinceEvents_.elapsed() < kEventsEveryMs)
            return !dialog_.wasCanceled();
        sinceEvents_.start();
        dialog_.setMaximum(images);
        dialog_.setLabelText(QStringLiteral("Converting image %1 of %2").arg(done).arg(images));
        dialog_.setValue(done);
        QCoreApplication::processEvents(dialog_.isVisible() ? QEventLoop::AllEvents
                                                            : QEventLoop::ExcludeUserInputEvents);
        return !dialog_.wasCanceled();
    }

    QProgressDialog dialog_;
    QElapsedTimer sinceEvents_;
};

} // namespace

QString QtFileFilter(const CString& filter) {
    const QStringList parts = ToQt(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break; // the closing "||"
        QString pattern = parts[i + 1];
        pattern.replace(QStringLiteral("*.*"), QStringLiteral("*"))
            .replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt reads the patterns from the parentheses that end the text: a
        // description that already ends with them stands alone.
        const QString description = parts[i].trimmed();
        if (description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')')))
            filters << description;
        else
            filters << description + QStringLiteral(" (") + pattern + QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

CConverterDlg::CConverterDlg(QWidget* parent) : QDialog(parent) {
    m_hIcon.addPixmap(QPixmap(kIcon32));
    m_hIcon.addPixmap(QPixmap(kIcon16));
    setObjectName(QStringLiteral("IDD_CONVERTER"));
    setWindowTitle(QStringLiteral("Tessaly Converter"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const DialogUnits du(font());

    // The template's controls, in Qt's layouts: every text gets the room its
    // font needs (fonts here are wider than the template's, and grow with
    // the screen's dpi), the template's sizes are the smallest ones, and the
    // dialog takes the size its contents need and keeps it.
    // The controls stand in a column; the preview of the source GIF in a
    // column of its own to their right.
    auto* columns = new QHBoxLayout(this);
    columns->setSizeConstraint(QLayout::SetFixedSize);
    columns->setContentsMargins(du.X(7), du.Y(7), du.X(7), du.Y(7));
    columns->setSpacing(du.X(7));
    auto* layout = new QVBoxLayout;
    layout->setSpacing(du.Y(4));
    columns->addLayout(layout);
    layout->addLayout(MakeFields(du));
    layout->addLayout(MakeOptions(du));
    m_faithful = new QCheckBox(
        QStringLiteral("&Play as the GIF animates (transparency, disposal, timing)"), this);
    m_faithful->setObjectName(QStringLiteral("IDC_FAITHFUL"));
    m_faithful->setProperty("controlId", IDC_FAITHFUL);
    layout->addWidget(m_faithful);
    // Where the preview is the taller column, the room left goes above the
    // buttons.
    layout->addStretch(1);
    layout->addSpacing(du.Y(2));
    layout->addLayout(MakeButtons(du));

    // Tab goes down the dialog and along each row; the compression choice
    // is one stop, its checked button (see MakeOptions).
    const QList<QWidget*> order = {m_source,
                                   GetDlgItem(IDC_BROWSE_SOURCE),
                                   m_destination,
                                   GetDlgItem(IDC_BROWSE_DESTINATION),
                                   m_rle8,
                                   m_noCompression,
                                   m_delta,
                                   m_faithful,
                                   GetDlgItem(IDC_CONVERT),
                                   GetDlgItem(IDCANCEL),
                                   GetDlgItem(IDOK)};
    for (qsizetype i = 0; i + 1 < order.size(); ++i) QWidget::setTabOrder(order[i], order[i + 1]);

    connect(m_faithful, &QCheckBox::toggled, this,
            [](bool on) { Settings().setValue(kFaithfulKey, on); });
    connect(m_delta, &QCheckBox::toggled, this,
            [](bool on) { Settings().setValue(kDeltaKey, on); });
    // Delta frames are an RLE8 matter.
    connect(m_rle8, &QRadioButton::toggled, m_delta, &QWidget::setEnabled);

    // The preview follows the source field and the mode controls.
    m_preview = new CGifPreview(this);
    m_preview->setObjectName(QStringLiteral("preview"));
    m_preview->setFixedWidth(du.X(120));
    m_preview->setMinimumHeight(du.Y(126));
    columns->addWidget(m_preview, 0, Qt::AlignTop);
    connect(m_source, &QLineEdit::textChanged, m_preview, &CGifPreview::SetSource);
    const auto mode = [this] {
        m_preview->SetMode(m_noCompression->isChecked(), m_delta->isChecked(),
                           m_faithful->isChecked());
    };
    connect(m_rle8, &QRadioButton::toggled, m_preview, mode);
    connect(m_noCompression, &QRadioButton::toggled, m_preview, mode);
    connect(m_faithful, &QCheckBox::toggled, m_preview, mode);
    connect(m_delta, &QCheckBox::toggled, m_preview, mode);

    OnInitDialog();
}

QPushButton* CConverterDlg::MakeButton(int id, const char* name, const char* text, int minWidth) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    b->setObjectName(QString::fromUtf8(name));
    b->setProperty("controlId", id);
    b->setAutoDefault(false);
    b->setMinimumWidth(minWidth);
    return b;
}

QLayout* CConverterDlg::MakeFields(const DialogUnits& du) {
    // Each label above its field, the field's browse button beside it.
    auto field = [this, &du](int id, const char* name) {
        auto* f = new QLineEdit(this);
        f->setObjectName(QString::fromUtf8(name));
        f->setProperty("controlId", id);
        f->setMinimumWidth(du.X(158));
        return f;
    };
    m_source = field(IDC_SOURCE, "IDC_SOURCE");
    m_destination = field(IDC_DESTINATION, "IDC_DESTINATION");
    auto* sourceLabel = new QLabel(QStringLiteral("&Source GIF file:"), this);
    sourceLabel->setBuddy(m_source);
    auto* destinationLabel = new QLabel(QStringLiteral("&Destination AVI file:"), this);
    destinationLabel->setBuddy(m_destination);
    QPushButton* browseSource =
        MakeButton(IDC_BROWSE_SOURCE, "IDC_BROWSE_SOURCE", "&Browse source...", du.X(81));
    QPushButton* browseDestination = MakeButton(IDC_BROWSE_DESTINATION, "IDC_BROWSE_DESTINATION",
                                                "B&rowse destination...", du.X(81));
    connect(browseSource, &QPushButton::clicked, this, &CConverterDlg::OnBrowseSource);
    connect(browseDestination, &QPushButton::clicked, this, &CConverterDlg::OnBrowseDestination);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(du.X(11));
    grid->setVerticalSpacing(du.Y(1));
    grid->addWidget(sourceLabel, 0, 0);
    grid->addWidget(m_source, 1, 0);
    grid->addWidget(browseSource, 1, 1);
    grid->setRowMinimumHeight(2, du.Y(6));
    grid->addWidget(destinationLabel, 3, 0);
    grid->addWidget(m_destination, 4, 0);
    grid->addWidget(browseDestination, 4, 1);
    grid->setColumnStretch(0, 1);
    return grid;
}

QLayout* CConverterDlg::MakeOptions(const DialogUnits& du) {
    auto* group = new QGroupBox(QStringLiteral("Destination AVI file &options"), this);
    m_rle8 = new QRadioButton(QStringLiteral("R&LE8 Compression (8 bits per pixel)"), group);
    m_rle8->setObjectName(QStringLiteral("IDC_RLE8"));
    m_rle8->setProperty("controlId", IDC_RLE8);
    m_noCompression =
        new QRadioButton(QStringLiteral("&No Compression (more than 8 bits per pixel)"), group);
    m_noCompression->setObjectName(QStringLiteral("IDC_NO_COMPRESSION"));
    m_noCompression->setProperty("controlId", IDC_NO_COMPRESSION);
    auto* inGroup = new QVBoxLayout(group);
    inGroup->setContentsMargins(du.X(13), du.Y(3), du.X(7), du.Y(3));
    inGroup->addWidget(m_rle8);
    inGroup->addWidget(m_noCompression);

    // The choice is one tab stop, its checked button; the arrow keys move
    // between the two and check the one they reach. Qt's buttons keep only
    // the focused button of an exclusive group in the tab chain once the
    // focus has been in the group; the checked button is the only one from
    // the start, and after a change by a click or from the program.
    auto* compression = new QButtonGroup(this);
    compression->addButton(m_rle8);
    compression->addButton(m_noCompression);
    connect(compression, &QButtonGroup::buttonToggled, this, [compression] {
        for (QAbstractButton* b : compression->buttons())
            b->setFocusPolicy(b->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    });

    // Beside the RLE8 choice, to the right of the group.
    m_delta = new QCheckBox(QStringLiteral("S&mall file (delta frames)"), this);
    m_delta->setObjectName(QStringLiteral("IDC_DELTA"));
    m_delta->setProperty("controlId", IDC_DELTA);
    auto* beside = new QVBoxLayout;
    beside->addSpacing(group->fontMetrics().height() + du.Y(3));
    beside->addWidget(m_delta);
    beside->addStretch(1);

    auto* row = new QHBoxLayout;
    row->setSpacing(du.X(7));
    row->addWidget(group);
    row->addLayout(beside);
    row->addStretch(1);
    return row;
}

QLayout* CConverterDlg::MakeButtons(const DialogUnits& du) {
    QPushButton* convert = MakeButton(IDC_CONVERT, "IDC_CONVERT", "&Convert", du.X(60));
    convert->setDefault(true);
    QPushButton* about = MakeButton(IDCANCEL, "IDCANCEL", "&About", du.X(60));
    QPushButton* exit = MakeButton(IDOK, "IDOK", "&Exit", du.X(60));
    connect(convert, &QPushButton::clicked, this, &CConverterDlg::OnConvert);
    connect(about, &QPushButton::clicked, this, &CConverterDlg::OnAbout);
    connect(exit, &QPushButton::clicked, this, &QDialog::accept); // the framework's OK: the end
    // Spread evenly along the bottom, as in the template.
    auto* row = new QHBoxLayout;
    for (QPushButton* b : {convert, about, exit}) {
        row->addStretch(1);
        row->addWidget(b);
    }
    row->addStretch(1);
    return row;
}

bool CConverterDlg::OnInitDialog() {
    // The window manager owns the system menu here, so the dialog has a
    // window menu of its own (its context menu, and Alt+Space) that ends
    // with the About entry.
    m_windowMenu = new QMenu(this);
    m_windowMenu->setObjectName(QStringLiteral("windowMenu"));
    const QString aboutText = LoadText(IDS_ABOUT_MENU);
    if (!aboutText.isEmpty()) {
        m_windowMenu->addAction(tr("&Exit"), this, &QDialog::accept);
        m_windowMenu->addSeparator();
        QAction* about =
            m_windowMenu->addAction(aboutText, this, [this] { OnSysCommand(IDM_ABOUT); });
        about->setData(IDM_ABOUT);
    }
    // Alt+Space opens the window menu wherever the focus is.
    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    menuKey->setContext(Qt::WindowShortcut);
    connect(menuKey, &QShortcut::activated, this,
            [this] { ShowWindowMenu(mapToGlobal(QPoint(0, 0))); });
    setWindowIcon(m_hIcon);
    m_rle8->setChecked(true);
    m_faithful->setChecked(Settings().value(kFaithfulKey, false).toBool());
    m_delta->setChecked(Settings().value(kDeltaKey, false).toBool());
    m_delta->setEnabled(m_rle8->isChecked());
    m_source->setFocus();
    // A GIF dropped anywhere on the dialog, the fields included, is the
    // source; the fields take no dropped text of their own.
    setAcceptDrops(true);
    m_source->setAcceptDrops(false);
    m_destination->setAcceptDrops(false);
    return true;
}

QWidget* CConverterDlg::GetDlgItem(int id) const {
    for (QWidget* child : findChildren<QWidget*>())
        if (child->property("controlId").toInt() == id) return child;
    return nullptr;
}

void CConverterDlg::SelectField(int id) {
    auto* field = qobject_cast<QLineEdit*>(GetDlgItem(id));
    field->setFocus();
    field->selectAll();
    field->end(true); // the caret, and so the view, at the end of the text
    field->selectAll();
}

BOOL CConverterDlg::ValidateSource(CString& path) {
    if (path.IsEmpty()) return FALSE;
    m_source->setText(ToQt(path));
    if (HasSourceEnding(path)) return TRUE;
    AfxMessageBox(IDS_BAD_SOURCE_EXT, MB_OK);
    SelectField(IDC_SOURCE);
    return FALSE;
}

BOOL CConverterDlg::ValidateDestination(CString& path) {
    if (path.IsEmpty()) return FALSE;
    m_destination->setText(ToQt(path));
    if (FixAviDestination(path)) {
        m_destination->setText(ToQt(path));
        return TRUE;
    }
    AfxMessageBox(IDS_BAD_DEST_EXT, MB_OK);
    SelectField(IDC_DESTINATION);
    return FALSE;
}

HBITMAP CConverterDlg::DrawFrame(HBITMAP canvas, HBITMAP frame, int x, int y, int cx, int cy) {
    HWND window = reinterpret_cast<HWND>(winId());
    HDC dc = GetDC(window);
    CConversion::DrawFrame(dc, canvas, frame, x, y, cx, cy);
    ReleaseDC(window, dc);
    return canvas;
}

void CConverterDlg::OnConvert() {
    CString source = FromQt(m_source->text());
    CString destination = FromQt(m_destination->text());
    if (source.IsEmpty()) {
        AfxMessageBox(IDS_BAD_SOURCE_EXT, MB_OK);
        SelectField(IDC_SOURCE);
        return;
    }
    if (destination.IsEmpty()) {
        AfxMessageBox(IDS_BAD_DEST_EXT, MB_OK);
        SelectField(IDC_DESTINATION);
        return;
    }
    if (!ValidateSource(source) || !ValidateDestination(destination)) return;
    if (const UINT refused = CConversion::CheckDestination(source, destination)) {
        AfxMessageBox(CConversion::Message(refused, destination), MB_OK | MB_ICONERROR);
        SelectField(IDC_DESTINATION);
        return;
    }

    QApplication::setOverrideCursor(Qt::WaitCursor);
    HWND window = reinterpret_cast<HWND>(winId());
    HDC dc = GetDC(window);
    const int keyFrameEvery =
        m_rle8->isChecked() && m_delta->isChecked() ? CConversion::kDeltaEvery10Seconds : 0;
    ConversionProgress progress(this);
    const CConversion::Result result =
        CConversion::Run(source, destination, !m_rle8->isChecked(), dc, progress.Callback(),
                         m_faithful->isChecked(), keyFrameEvery);
    progress.Close();
    ReleaseDC(window, dc);
    QApplication::restoreOverrideCursor();

    // The system's reason for a failure goes below the message.
    CString text = CConversion::Message(result.messageId, result.path, result.frames);
    if (result.longVideoSeconds)
        text += CString("\n\n") + CConversion::LongVideoNotice(source, result.longVideoSeconds);
    AfxMessageBoxWithDetail(text, CConversion::Reason(result),
                            result.converted || result.cancelled ? MB_OK : MB_OK | MB_ICONERROR);
}

// Runs the open or save file dialog (no parent window given, as the
// framework's file dialog is made), starting at `proposal` when there is one,
// and answers the chosen path, empty when the user cancelled. It is the
// desktop's own file dialog where Qt's platform theme offers one (GTK,
// KDE, the desktop portal), and Qt's otherwise or under
// Qt::AA_DontUseNativeDialogs.
static CString ChooseFile(UINT titleId, UINT filterId, bool save, const QString& proposal = {}) {
    QFileDialog dialog(nullptr, LoadText(titleId), QString(),
                       QtFileFilter(LoadText(filterId).toStdString()));
    if (!proposal.isEmpty()) dialog.selectFile(proposal);
    if (save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave); // asks before overwriting
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(QStringLiteral("avi")); // so "clip" is asked about as clip.avi
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile); // the file must exist
    }
    dialog.exec();
    const QStringList chosen =
        dialog.result() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    return chosen.isEmpty() ? CString() : FromQt(chosen.front());
}

void CConverterDlg::OnBrowseSource() {
    CString path = ChooseFile(IDS_SOURCE_TITLE, IDS_SOURCE_FILTER, false);
    activateWindow();
    ValidateSource(path);
}

void CConverterDlg::OnBrowseDestination() {
    // With no destination yet, the source's name with ".avi", in its folder.
    QString proposal;
    const QString source = m_source->text().trimmed();
    if (m_destination->text().isEmpty() && HasSourceEnding(FromQt(source))) {
        const QFileInfo info(source);
        proposal = info.absoluteDir().filePath(info.completeBaseName() + QStringLiteral(".avi"));
    }
    CString path = ChooseFile(IDS_DEST_TITLE, IDS_DEST_FILTER, true, proposal);
    activateWindow();
    ValidateDestination(path);
}

void CConverterDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CConverterDlg::OnSysCommand(UINT id) {
    if ((id & 0xFFF0) == IDM_ABOUT) OnAbout();
}

void CConverterDlg::reject() {
    OnAbout();
}

void CConverterDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    OnAbout();
}

void CConverterDlg::SetSource(const QString& path) {
    m_source->setText(QFileInfo(path).absoluteFilePath());
}

void CConverterDlg::OpenArguments(const QStringList& arguments) {
    if (arguments.size() > 1 && !arguments[1].isEmpty()) SetSource(arguments[1]);
}

// The one local GIF file a drag carries, or an empty string.
static QString DraggedGif(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
    const QUrl url = data->urls().front();
    if (!url.isLocalFile()) return {};
    const QString path = url.toLocalFile();
    return HasSourceEnding(FromQt(path)) && QFileInfo(path).isFile() ? path : QString();
}

void CConverterDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (!DraggedGif(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CConverterDlg::dropEvent(QDropEvent* event) {
    const QString path = DraggedGif(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    SetSource(path);
}

void CConverterDlg::ShowWindowMenu(const QPoint& at) {
    m_windowMenu->popup(at);
}

void CConverterDlg::contextMenuEvent(QContextMenuEvent* event) {
    ShowWindowMenu(event->globalPos());
}
