#include "fw/String.h"
#include "fw/MessageBox.h"
#include "res/Resource.h"

#include <gtest/gtest.h>

namespace {

TEST(StringTest, RightTakesTheLastCharactersOrTheWholeString) {
    CString s("clip.Avi");
    EXPECT_EQ(s.Right(3), "Avi");
    EXPECT_EQ(CString("gif").Right(3), "gif");
    EXPECT_EQ(CString("if").Right(3), "if");
    EXPECT_EQ(s.Right(0), "");
    EXPECT_EQ(CString("PICTURE.GIF").Right(3).MakeLower(), "gif");
    EXPECT_EQ(s.Find('.'), 4);
    EXPECT_EQ(CString("my.films/clip").Find('.'), 2);
    EXPECT_EQ(CString("clip").Find('.'), -1);
    EXPECT_EQ(s.Mid(2, 100), "ip.Avi");
}

TEST(StringTest, StringTableHoldsTheProgramsTexts) {
    struct Entry {
        UINT id;
        const char* text;
    } entries[] = {
        {IDS_ABOUT_MENU, "&About Tessaly..."},
        {IDS_SOURCE_FILTER, "Animated pictures (*.gif *.webp *.png "
                            "*.apng)|*.gif;*.webp;*.png;*.apng|All files (*.*)|*.*||"},
        {IDS_DEST_FILTER, "AVI files (*.avi) |*.avi|All files (*.*)|*.*||"},
        {IDS_BAD_DEST_EXT, "Invalid extension for destination file"},
        {IDS_BAD_SOURCE_EXT, "Invalid extension for source file"},
        {IDS_CONVERTED, "File successfully converted"},
    };
    for (const Entry& e : entries) {
        CString s;
        EXPECT_TRUE(s.LoadString(e.id)) << e.id;
        EXPECT_EQ(s, e.text);
    }
    CString missing("x");
    EXPECT_FALSE(missing.LoadString(9999));
    EXPECT_TRUE(missing.IsEmpty());
}

TEST(StringTest, FormatPutsThePathInPlaceOfPercentOne) {
    CString s;
    AfxFormatString1(s, IDS_LOAD_ERROR, "/tmp/a b%1.gif");
    EXPECT_EQ(s, "Error loading file /tmp/a b%1.gif") << "the inserted text is not formatted again";
    AfxFormatString1(s, IDS_OPEN_ERROR, "");
    EXPECT_EQ(s, "Error opening file ");
}

TEST(MessageBoxTest, PresenterSeesEveryBoxAndCanBeRestored) {
    std::vector<std::pair<std::string, UINT>> shown;
    MessagePresenter old = AfxSetMessagePresenter([&](LPCTSTR text, UINT type, LPCTSTR) {
        shown.emplace_back(text, type);
        return IDCANCEL;
    });
    EXPECT_EQ(AfxMessageBox(IDS_CONVERTED), IDCANCEL);
    EXPECT_EQ(AfxMessageBox("plain", MB_OKCANCEL), IDCANCEL);
    AfxSetMessagePresenter(old);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].first, "File successfully converted");
    EXPECT_EQ(shown[0].second, MB_OK);
    EXPECT_EQ(shown[1].second, MB_OKCANCEL);
}

} // namespace
