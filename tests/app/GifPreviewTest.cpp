// The dialog's preview on Qt's offscreen platform: a source GIF is read in the
// background and its figures shown, a newer source wins over an older one,
// the mode controls change the figures, and a file that cannot be read says
// why while Convert stays available.
#include "app/GifPreview.h"
#include "app/ConverterDlg.h"

#include "../TestFiles.h"
#include "../gif/GifBuilder.h"
#include "fw/MessageBox.h"
#include "res/Resource.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

class GifPreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = AfxSetMessagePresenter([this](LPCTSTR text, UINT, LPCTSTR) {
            messages.emplace_back(text);
            return IDOK;
        });
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        preview = dlg.findChild<CGifPreview*>(QStringLiteral("preview"));
        ASSERT_NE(preview, nullptr);
    }
    void TearDown() override { AfxSetMessagePresenter(previous_); }

    QLineEdit* Source() { return qobject_cast<QLineEdit*>(dlg.GetDlgItem(IDC_SOURCE)); }
    // A GIF of `images` 2 x 2 images on a 5 x 3 screen, in the folder.
    std::string MakeGif(const std::string& name, int images) {
        gifbuild::Gif gif(5, 3, gifbuild::DistinctTable(2));
        for (int i = 0; i < images; ++i) gif.Gce(0, 7, 0).FlatImage(0, 0, 2, 2, {0, 1, 1, 0});
        testfiles::WriteBytes(folder / name, gif.Trailer().bytes);
        return folder / name;
    }

    CConverterDlg dlg;
    CGifPreview* preview = nullptr;
    testfiles::Folder folder;
    std::vector<std::string> messages;

private:
    MessagePresenter previous_;
};

TEST_F(GifPreviewTest, ASourceIsReadInTheBackgroundAndTheNewestWins) {
    EXPECT_EQ(preview->focusPolicy(), Qt::NoFocus);
    const std::string three = MakeGif("three.gif", 3), seven = MakeGif("seven.gif", 7);
    Source()->setText(QString::fromStdString(three));
    // The newer text replaces it before or after its reading: only seven
    // images may show.
    Source()->setText(QString::fromStdString(seven));
    QTRY_VERIFY_WITH_TIMEOUT(preview->Text().contains(QStringLiteral("7 images")), 20000);
    EXPECT_TRUE(preview->Text().contains(QStringLiteral("5 x 3 pixels")))
        << preview->Text().toStdString();
    EXPECT_FALSE(preview->IsReading());
    const QLabel* picture = preview->findChild<QLabel*>(QStringLiteral("previewPicture"));
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull());

    // The mode controls change the figure at once, without another reading.
    EXPECT_TRUE(preview->Text().contains(QStringLiteral("RLE8"))) << preview->Text().toStdString();
    qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_NO_COMPRESSION))->setChecked(true);
    EXPECT_FALSE(preview->IsReading());
    EXPECT_TRUE(preview->Text().contains(QStringLiteral("uncompressed")))
        << preview->Text().toStdString();
    EXPECT_TRUE(messages.empty());

    Source()->clear();
    EXPECT_TRUE(preview->Text().isEmpty());
}

TEST_F(GifPreviewTest, AnUnreadableFileSaysWhyAndConvertStaysAvailable) {
    testfiles::WriteBytes(folder / "text.gif",
                          {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!'});
    Source()->setText(QString::fromStdString(folder / "text.gif"));
    QTRY_VERIFY_WITH_TIMEOUT(preview->Text().contains(QStringLiteral("not a GIF")), 20000);
    EXPECT_TRUE(dlg.GetDlgItem(IDC_CONVERT)->isEnabled());
    Source()->setText(QString::fromStdString(folder / "missing.gif"));
    QTRY_VERIFY_WITH_TIMEOUT(preview->Text().contains(QStringLiteral("No such file")), 20000);
    EXPECT_TRUE(dlg.GetDlgItem(IDC_CONVERT)->isEnabled());
    EXPECT_TRUE(messages.empty()) << "the preview shows no message box";
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const testfiles::Folder config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.str()));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
