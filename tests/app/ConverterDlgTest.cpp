// The dialog on Qt's offscreen platform: its controls, the path checks with
// their messages and selections, the cancel command, the window menu, the file
// dialogs and one whole conversion.
#include "app/ConverterDlg.h"
#include "app/AboutDlg.h"

#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "fw/MessageBox.h"
#include "res/Resource.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

namespace {

class ConverterDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = AfxSetMessagePresenter([this](LPCTSTR text, UINT type, LPCTSTR) {
            messages.emplace_back(text);
            EXPECT_EQ(type & 0xF, MB_OK) << "message boxes have an OK button only";
            return IDOK;
        });
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    }
    void TearDown() override { AfxSetMessagePresenter(previous_); }

    QLineEdit* Field(int id) { return qobject_cast<QLineEdit*>(dlg.GetDlgItem(id)); }
    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(dlg.GetDlgItem(id)); }

    // Runs `action`, which is expected to open a modal dialog; `inspect` sees
    // that dialog, which is then closed. Returns whether one opened. The
    // modal is looked for until the action returns, however late it comes.
    bool WithModal(const std::function<void()>& action,
                   const std::function<void(QWidget*)>& inspect = {}) {
        bool opened = false;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || opened) return;
            opened = true;
            if (inspect) inspect(modal);
            if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
        });
        look.start(20);
        action();
        return opened;
    }

    CConverterDlg dlg;
    std::vector<std::string> messages;

private:
    MessagePresenter previous_;
};

TEST_F(ConverterDlgTest, OpensEmptyWithRle8Checked) {
    EXPECT_EQ(dlg.windowTitle(), "Tessaly Converter");
    EXPECT_TRUE(Field(IDC_SOURCE)->text().isEmpty());
    EXPECT_TRUE(Field(IDC_DESTINATION)->text().isEmpty());
    EXPECT_TRUE(qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_RLE8))->isChecked());
    EXPECT_FALSE(qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_NO_COMPRESSION))->isChecked());
    EXPECT_EQ(dlg.focusWidget(), Field(IDC_SOURCE));
    EXPECT_TRUE(Button(IDC_CONVERT)->isDefault());
    EXPECT_EQ(Button(IDC_BROWSE_SOURCE)->text(), "&Browse source...");
    EXPECT_EQ(Button(IDC_BROWSE_DESTINATION)->text(), "B&rowse destination...");
    EXPECT_EQ(Button(IDCANCEL)->text(), "&About");
    EXPECT_EQ(Button(IDOK)->text(), "&Exit");
}

// The focus the keyboard alone gives: Tab and Shift+Tab through every
// control, the compression choice one stop (its checked button) whose
// arrow keys change it, and one mnemonic for each control.
class KeyboardTest : public ConverterDlgTest {
protected:
    void SetUp() override {
        ConverterDlgTest::SetUp();
        QApplication::setActiveWindow(&dlg);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    }
    QRadioButton* Radio(int id) { return qobject_cast<QRadioButton*>(dlg.GetDlgItem(id)); }
    // The names of the controls Tab (Shift+Tab with `modifiers`) visits
    // from `first`, `count` presses in all.
    std::vector<std::string> Walk(QWidget* first, int count,
                                  Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        first->setFocus(Qt::OtherFocusReason);
        std::vector<std::string> visited;
        for (int i = 0; i < count; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifiers);
            QWidget* focus = QApplication::focusWidget();
            visited.push_back(focus ? focus->objectName().toStdString() : "(none)");
        }
        return visited;
    }
};

TEST_F(KeyboardTest, TabVisitsTheControlsTopToBottomLeftToRight) {
    const std::vector<std::string> forward = {
        "IDC_BROWSE_SOURCE", "IDC_DESTINATION", "IDC_BROWSE_DESTINATION",
        "IDC_RLE8",          "IDC_DELTA",       "IDC_FAITHFUL",
        "IDC_CONVERT",       "IDCANCEL",        "IDOK",
        "IDC_SOURCE"};
    EXPECT_EQ(Walk(Field(IDC_SOURCE), 10), forward);
    const std::vector<std::string> backward(forward.rbegin() + 1, forward.rend());
    EXPECT_EQ(Walk(Field(IDC_SOURCE), 9, Qt::ShiftModifier), backward);
}

TEST_F(KeyboardTest, TheCompressionChoiceIsOneStopThatTheArrowKeysChange) {
    ASSERT_EQ(Walk(Field(IDC_SOURCE), 4).back(), "IDC_RLE8");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_TRUE(Radio(IDC_NO_COMPRESSION)->isChecked());
    EXPECT_FALSE(Radio(IDC_RLE8)->isChecked());
    EXPECT_EQ(QApplication::focusWidget(), Radio(IDC_NO_COMPRESSION));
    // The stop is now No Compression, both ways; the delta box, disabled
    // with it, is skipped.
    EXPECT_EQ(Walk(Field(IDC_DESTINATION), 2),
              (std::vector<std::string>{"IDC_BROWSE_DESTINATION", "IDC_NO_COMPRESSION"}));
    EXPECT_EQ(Walk(Radio(IDC_NO_COMPRESSION), 1), (std::vector<std::string>{"IDC_FAITHFUL"}));
    EXPECT_EQ(Walk(dlg.GetDlgItem(IDC_FAITHFUL), 1, Qt::ShiftModifier),
              (std::vector<std::string>{"IDC_NO_COMPRESSION"}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_TRUE(Radio(IDC_RLE8)->isChecked());
    // A choice made by the program moves the stop too.
    Radio(IDC_NO_COMPRESSION)->setChecked(true);
    EXPECT_EQ(Walk(Button(IDC_BROWSE_DESTINATION), 2),
              (std::vector<std::string>{"IDC_NO_COMPRESSION", "IDC_FAITHFUL"}));
    Radio(IDC_RLE8)->setChecked(true);
}

TEST_F(KeyboardTest, EveryControlHasItsOwnMnemonic) {
    // The control each Alt+letter reaches.
    std::map<QChar, QWidget*> reaches;
    auto add = [&](const QString& text, QWidget* control) {
        const qsizetype amp = text.indexOf(QLatin1Char('&'));
        ASSERT_TRUE(amp >= 0 && amp + 1 < text.size()) << text.toStdString();
        EXPECT_TRUE(reaches.emplace(text[amp + 1].toLower(), control).second)
            << "mnemonic of " << text.toStdString() << " taken";
    };
    // The preview's labels show what it read, and name no control.
    const QWidget* preview = dlg.findChild<QWidget*>(QStringLiteral("preview"));
    for (auto* label : dlg.findChildren<QLabel*>())
        if (!preview || !preview->isAncestorOf(label)) add(label->text(), label->buddy());
    auto* group = dlg.findChild<QGroupBox*>();
    ASSERT_NE(group, nullptr);
    add(group->title(), nullptr); // the checked choice
    for (auto* button : dlg.findChildren<QAbstractButton*>()) add(button->text(), button);
    // The mnemonics of the fields and of the choices move the focus there
    // (the buttons' would open dialogs or end this one).
    for (const auto& [letter, control] : reaches) {
        if (qobject_cast<QPushButton*>(control)) continue;
        Button(IDC_CONVERT)->setFocus();
        QWidget* expected = control                        ? control
                            : Radio(IDC_RLE8)->isChecked() ? Radio(IDC_RLE8)
                                                           : Radio(IDC_NO_COMPRESSION);
        QTest::keyClick(&dlg, letter.toLatin1(), Qt::AltModifier);
        EXPECT_EQ(QApplication::focusWidget(), expected) << "Alt+" << letter.toLatin1();
        // A button's mnemonic clicks it after a moment.
        auto* button = qobject_cast<QAbstractButton*>(control);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !button || !button->isDown(); }, 10000));
    }
    EXPECT_TRUE(Radio(IDC_NO_COMPRESSION)->isChecked()) << "Alt+N chooses it";
    Radio(IDC_RLE8)->setChecked(true);
    for (int box : {IDC_DELTA, IDC_FAITHFUL})
        qobject_cast<QCheckBox*>(dlg.GetDlgItem(box))->setChecked(false);
}

// Every text has the room its font needs, in the dialog and the About box,
// here and in a second run of this test with fonts at 144 dpi
// (QT_FONT_DPI=144 with Qt's scaling off: the fonts grow, not the window).
TEST_F(ConverterDlgTest, EveryTextHasTheRoomItNeeds) {
    const QByteArray dpi = qgetenv("QT_FONT_DPI");
    if (!dpi.isEmpty()) {
        const QFontInfo font(dlg.font());
        EXPECT_NEAR(font.pixelSize(), font.pointSizeF() * dpi.toInt() / 72, 1);
    }
    CAboutDlg about(&dlg);
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    for (QDialog* window : {static_cast<QDialog*>(&dlg), static_cast<QDialog*>(&about)}) {
        QList<QWidget*> texts;
        // The About box is the dialog's child, its texts not the dialog's.
        for (auto* label : window->findChildren<QLabel*>())
            if (label->window() == window) texts << label;
        for (auto* button : window->findChildren<QAbstractButton*>())
            if (button->window() == window) texts << button;
        ASSERT_GE(texts.size(), 3);
        for (QWidget* w : texts) {
            const QString name =
                w->objectName() + QLatin1Char(' ') +
                (qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text()
                                          : qobject_cast<QAbstractButton*>(w)->text());
            EXPECT_GE(w->width(), w->sizeHint().width()) << name.toStdString();
            EXPECT_GE(w->height(), w->sizeHint().height()) << name.toStdString();
            const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
            EXPECT_TRUE(window->rect().contains(inWindow)) << name.toStdString();
        }
    }
}

// Off at first; a new dialog takes each box as the last one left it. The
// delta box is for RLE8 alone.
TEST_F(ConverterDlgTest, TheBoxesAreRememberedBetweenRuns) {
    const struct {
        int id;
        const char* text;
    } boxes[] = {{IDC_FAITHFUL, "&Play as the GIF animates (transparency, disposal, timing)"},
                 {IDC_DELTA, "S&mall file (delta frames)"}};
    for (const auto& b : boxes) {
        auto* box = qobject_cast<QCheckBox*>(dlg.GetDlgItem(b.id));
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), b.text);
        EXPECT_FALSE(box->isChecked());
        for (bool on : {true, false}) {
            box->setChecked(on);
            CConverterDlg next;
            EXPECT_EQ(qobject_cast<QCheckBox*>(next.GetDlgItem(b.id))->isChecked(), on);
        }
    }
    QWidget* delta = dlg.GetDlgItem(IDC_DELTA);
    EXPECT_TRUE(delta->isEnabled());
    qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_NO_COMPRESSION))->setChecked(true);
    EXPECT_FALSE(delta->isEnabled());
    qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_RLE8))->setChecked(true);
    EXPECT_TRUE(delta->isEnabled());
}

TEST_F(ConverterDlgTest, EmptyFieldsAreRefusedWithTheFieldSelected) {
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    ASSERT_EQ(messages, std::vector<std::string>{"Invalid extension for source file"});
    EXPECT_EQ(dlg.focusWidget(), Field(IDC_SOURCE));

    Field(IDC_SOURCE)->setText("picture.gif");
    messages.clear();
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    ASSERT_EQ(messages, std::vector<std::string>{"Invalid extension for destination file"});
    EXPECT_EQ(dlg.focusWidget(), Field(IDC_DESTINATION));
}

TEST_F(ConverterDlgTest, PathChecksPutThePathInItsFieldAndSelectARefusal) {
    CString source("/pictures/holiday.JPG");
    EXPECT_FALSE(dlg.ValidateSource(source));
    EXPECT_EQ(Field(IDC_SOURCE)->text(), "/pictures/holiday.JPG");
    EXPECT_EQ(Field(IDC_SOURCE)->selectedText(), "/pictures/holiday.JPG");
    EXPECT_EQ(dlg.focusWidget(), Field(IDC_SOURCE));
    ASSERT_EQ(messages, std::vector<std::string>{"Invalid extension for source file"});

    CString gif("picturegif");
    EXPECT_TRUE(dlg.ValidateSource(gif));
    CString bare("/videos/clip");
    EXPECT_TRUE(dlg.ValidateDestination(bare));
    EXPECT_EQ(std::string(bare), "/videos/clip.avi");
    EXPECT_EQ(Field(IDC_DESTINATION)->text(), "/videos/clip.avi");
    messages.clear();
    CString inDottedFolder("/my.films/clip");
    EXPECT_TRUE(dlg.ValidateDestination(inDottedFolder));
    EXPECT_EQ(std::string(inDottedFolder), "/my.films/clip.avi");
    for (const char* refused : {"/videos/", "clip."}) {
        CString path(refused);
        EXPECT_FALSE(dlg.ValidateDestination(path)) << refused;
        EXPECT_EQ(Field(IDC_DESTINATION)->selectedText(), refused);
    }
    EXPECT_EQ(messages.size(), 2u);
    CString empty;
    EXPECT_FALSE(dlg.ValidateDestination(empty));
    EXPECT_EQ(messages.size(), 2u) << "a cancelled file dialog brings no message";
}

TEST_F(ConverterDlgTest, CancelCommandsOpenTheAboutBoxAndTheDialogStays) {
    auto isAbout = [](QWidget* w) { EXPECT_NE(qobject_cast<CAboutDlg*>(w), nullptr); };
    EXPECT_TRUE(WithModal([&] { QTest::keyClick(&dlg, Qt::Key_Escape); }, isAbout));
    EXPECT_TRUE(WithModal([&] { dlg.close(); }, isAbout));
    EXPECT_TRUE(WithModal([&] { QTest::mouseClick(Button(IDCANCEL), Qt::LeftButton); }, isAbout));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), 0);
    QTest::mouseClick(Button(IDOK), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible()) << "Exit ends the dialog";
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(ConverterDlgTest, WindowMenuEndsWithTheAboutEntry) {
    auto* menu = dlg.findChild<QMenu*>("windowMenu");
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), "&About Tessaly...");
    EXPECT_EQ(actions.back()->data().toUInt(), IDM_ABOUT);
    EXPECT_TRUE(WithModal([&] { actions.back()->trigger(); },
                          [](QWidget* w) { EXPECT_NE(qobject_cast<CAboutDlg*>(w), nullptr); }));
    EXPECT_FALSE(WithModal([&] { dlg.OnSysCommand(0x0100); })) << "other commands open nothing";
}

TEST_F(ConverterDlgTest, AltSpaceOpensTheWindowMenuFromAnyField) {
    auto* menu = dlg.findChild<QMenu*>("windowMenu");
    ASSERT_NE(menu, nullptr);
    Field(IDC_SOURCE)->setFocus();
    QTest::keyClick(Field(IDC_SOURCE), Qt::Key_Space, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 2000));
    menu->close();
    EXPECT_TRUE(Field(IDC_SOURCE)->text().isEmpty()) << "no space typed into the field";
}

TEST_F(ConverterDlgTest, CancelledFileDialogsChangeNothing) {
    Field(IDC_SOURCE)->setText("kept.gif");
    QString filter;
    EXPECT_TRUE(WithModal([&] { QTest::mouseClick(Button(IDC_BROWSE_SOURCE), Qt::LeftButton); },
                          [&](QWidget* w) {
                              auto* files = qobject_cast<QFileDialog*>(w);
                              ASSERT_NE(files, nullptr);
                              EXPECT_EQ(files->windowTitle(), "Select the source file");
                              EXPECT_EQ(files->fileMode(), QFileDialog::ExistingFile);
                              filter = files->nameFilters().join(";;");
                          }));
    EXPECT_EQ(filter, "Animated pictures (*.gif *.webp *.png *.apng);;All files (*.*) (*)");
    EXPECT_TRUE(
        WithModal([&] { QTest::mouseClick(Button(IDC_BROWSE_DESTINATION), Qt::LeftButton); },
                  [](QWidget* w) {
                      auto* files = qobject_cast<QFileDialog*>(w);
                      ASSERT_NE(files, nullptr);
                      EXPECT_EQ(files->windowTitle(), "Select the destination file");
                      EXPECT_EQ(files->acceptMode(), QFileDialog::AcceptSave);
                      EXPECT_FALSE(files->testOption(QFileDialog::DontConfirmOverwrite));
                      EXPECT_EQ(files->defaultSuffix(), "avi");
                  }));
    EXPECT_EQ(Field(IDC_SOURCE)->text(), "kept.gif");
    EXPECT_TRUE(Field(IDC_DESTINATION)->text().isEmpty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConverterDlgTest, ConvertsThroughTheDialog) {
    testfiles::TempPath avi(".avi");
    Field(IDC_SOURCE)->setText(QString::fromUtf8(TESSALY_SOURCE_DIR "/res/sample.gif"));
    Field(IDC_DESTINATION)->setText(QString::fromStdString(avi.str()));
    qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_NO_COMPRESSION))->setChecked(true);
    // The video is complete when the message shows, and the wait cursor gone.
    // (Compared with the cursor before: file dialogs may leave their own.)
    const QCursor* before = QApplication::overrideCursor();
    AfxSetMessagePresenter([&](LPCTSTR text, UINT, LPCTSTR detail) {
        // The reason of a failure comes apart from its message.
        messages.emplace_back(*detail ? std::string(text) + " | " + detail : std::string(text));
        if (std::string(text) != "File successfully converted") return IDOK;
        EXPECT_TRUE(avi.exists());
        if (avitest::HaveFfmpeg()) {
            EXPECT_EQ(avitest::ProbeStream(avi.str(), "nb_read_frames"), "12");
        }
        EXPECT_EQ(QApplication::overrideCursor(), before) << text;
        return IDOK;
    });
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    ASSERT_EQ(messages, std::vector<std::string>{"File successfully converted"});
    if (avitest::HaveFfmpeg()) {
        std::map<std::string, std::string> probed =
            avitest::Probe(avi.str(), {"codec_name", "nb_read_frames"});
        EXPECT_EQ(probed["codec_name"], "rawvideo");
        EXPECT_EQ(probed["nb_read_frames"], "12");
    }
    messages.clear();
    Field(IDC_SOURCE)->setText("/nonexistent/x.gif");
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    EXPECT_EQ(messages, std::vector<std::string>{
                            "Error opening file /nonexistent/x.gif | No such file or directory"});

    // A destination that is the source is refused before anything is written.
    testfiles::TempPath gif(".gif"), link(".avi");
    std::filesystem::copy_file(TESSALY_SOURCE_DIR "/res/sample.gif", gif.str());
    std::filesystem::create_symlink(gif.str(), link.str());
    const auto size = std::filesystem::file_size(gif.str());
    messages.clear();
    Field(IDC_SOURCE)->setText(QString::fromStdString(gif.str()));
    Field(IDC_DESTINATION)->setText(QString::fromStdString(link.str()));
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    EXPECT_EQ(messages,
              std::vector<std::string>{"Destination file " + link.str() + " is the source file"});
    EXPECT_EQ(std::filesystem::file_size(gif.str()), size);
    EXPECT_EQ(dlg.focusWidget(), Field(IDC_DESTINATION));
}

// A faithful video longer than an hour says so in the result's message.
TEST_F(ConverterDlgTest, ALongFaithfulVideoIsNamedInTheResult) {
    testfiles::Folder folder;
    gifbuild::Gif gif(1, 1, gifbuild::DistinctTable(2));
    for (int delay : {60000, 60000, 60000, 60000, 60000, 60100})
        gif.Gce(0, delay, 0).FlatImage(0, 0, 1, 1, {1});
    testfiles::WriteBytes(folder / "long.gif", gif.Trailer().bytes);
    Field(IDC_SOURCE)->setText(QString::fromStdString(folder / "long.gif"));
    Field(IDC_DESTINATION)->setText(QString::fromStdString(folder / "long.avi"));
    auto* faithful = qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_FAITHFUL));
    faithful->setChecked(true);
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    faithful->setChecked(false);
    EXPECT_EQ(messages, std::vector<std::string>{"File successfully converted\n\nThe video of " +
                                                 folder / "long.gif" +
                                                 " will last 1:00:01 (h:mm:ss), as the delays of "
                                                 "its images say"});
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// A conversion of seconds: a large screen and thousands of one-pixel images.
// The progress dialog shows over a dialog that still repaints; its Cancel
// stops the conversion and leaves the old video alone.
TEST_F(ConverterDlgTest, ALongConversionShowsProgressAndCancels) {
    testfiles::Folder folder;
    gifbuild::Gif slow(1500, 1500, gifbuild::DistinctTable(4));
    for (int i = 0; i < 3000; ++i) slow.FlatImage(i % 1500, 0, 1, 1, {1});
    testfiles::WriteBytes(folder / "in.gif", slow.Trailer().bytes);
    std::ofstream(folder / "out.avi") << "old";
    Field(IDC_SOURCE)->setText(QString::fromStdString(folder / "in.gif"));
    Field(IDC_DESTINATION)->setText(QString::fromStdString(folder / "out.avi"));

    PaintCounter counter;
    dlg.installEventFilter(&counter);
    QString label;
    int paintsAtShow = -1;
    bool cancelled = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* progress = dlg.findChild<QProgressDialog*>("progress");
        if (cancelled || !progress || !progress->isVisible()) return;
        if (paintsAtShow < 0) {
            paintsAtShow = counter.paints;
            label = progress->labelText();
            dlg.update();
        } else if (counter.paints > paintsAtShow) {
            // scripts/screenshot takes the README's picture here, a third of
            // the way.
            const QString picture = qEnvironmentVariable("TESSALY_PROGRESS_PICTURE");
            if (!picture.isEmpty()) {
                if (progress->value() < 1000) return;
                const QRect r = dlg.frameGeometry().united(progress->frameGeometry());
                QGuiApplication::primaryScreen()
                    ->grabWindow(0, r.x(), r.y(), r.width(), r.height())
                    .save(picture);
            }
            cancelled = true;
            QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
        }
    });
    watch.start(20);
    QTest::mouseClick(Button(IDC_CONVERT), Qt::LeftButton);
    watch.stop();
    EXPECT_TRUE(QRegularExpression("^Converting image [0-9]+ of 3000$").match(label).hasMatch())
        << label.toStdString();
    EXPECT_TRUE(cancelled) << "the dialog did not repaint while the conversion ran";
    EXPECT_EQ(messages, std::vector<std::string>{"Conversion cancelled"});
    EXPECT_EQ(testfiles::ReadText(folder / "out.avi"), "old");
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", "out.avi"}));
}

// A GIF comes from the command line, or dropped anywhere on the dialog; the
// save dialog then proposes its name with ".avi", beside it.
TEST_F(ConverterDlgTest, GifsComeFromTheCommandLineAndFromDrops) {
    testfiles::Folder folder;
    testfiles::WriteBytes(folder / "clip.gif", {'G'});
    testfiles::WriteBytes(folder / "photo.jpg", {'P'});
    testfiles::WriteBytes(folder / "anim.webp", {'R'});
    dlg.OpenArguments({"tessaly-converter", QString::fromStdString(folder / "clip.gif")});
    EXPECT_EQ(Field(IDC_SOURCE)->text().toStdString(), folder / "clip.gif");
    QString proposed;
    WithModal(
        [&] { QTest::mouseClick(Button(IDC_BROWSE_DESTINATION), Qt::LeftButton); },
        [&](QWidget* w) { proposed = qobject_cast<QFileDialog*>(w)->selectedFiles().value(0); });
    EXPECT_EQ(proposed.toStdString(), folder / "clip.avi");
    EXPECT_TRUE(Field(IDC_DESTINATION)->text().isEmpty()) << "not filled behind the user's back";

    Field(IDC_SOURCE)->clear();
    auto url = [&](const char* name) {
        return QUrl::fromLocalFile(QString::fromStdString(folder / name));
    };
    const struct {
        QList<QUrl> urls;
        bool accepted;
    } drops[] = {{{url("photo.jpg")}, false},
                 {{url("clip.gif"), url("clip.gif")}, false},
                 {{QUrl("https://example.org/a.gif")}, false},
                 {{url("missing.gif")}, false},
                 {{url("anim.webp")}, true},
                 {{url("clip.gif")}, true}};
    for (const auto& d : drops) {
        QMimeData data;
        data.setUrls(d.urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &enter);
        EXPECT_EQ(enter.isAccepted(), d.accepted) << d.urls.front().toString().toStdString();
        if (!enter.isAccepted()) continue;
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &drop);
    }
    EXPECT_EQ(Field(IDC_SOURCE)->text().toStdString(), folder / "clip.gif");
    EXPECT_FALSE(Field(IDC_SOURCE)->acceptDrops()) << "the field would insert the URL as text";
    EXPECT_TRUE(messages.empty());
}

TEST(FileFilterTest, FrameworkFiltersBecomeQtFilters) {
    EXPECT_EQ(QtFileFilter("AVI files (*.avi) |*.avi|All files (*.*)|*.*||"),
              "AVI files (*.avi);;All files (*.*) (*)");
    EXPECT_EQ(QtFileFilter("Pictures|*.gif;*.png||"), "Pictures (*.gif *.png)");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The dialog's settings go to a folder of this run, not the user's.
    const testfiles::Folder config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.str()));
    // Qt's own file dialog, which the tests can inspect and close, whatever
    // the desktop offers.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
