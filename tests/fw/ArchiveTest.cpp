#include "fw/Archive.h"

#include "../TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using testfiles::Bytes;

// A class that can be archived, with a schema of its own.
class CPoint2 : public CObject {
    DECLARE_SERIAL(CPoint2)
public:
    void Serialize(CArchive& ar) override {
        if (ar.IsStoring())
            ar << x << y;
        else
            ar >> x >> y;
    }
    LONG x = 0, y = 0;
};
IMPLEMENT_SERIAL(CPoint2, CObject, 3)

// Values are little-endian; files are written, sought and measured.
TEST(ArchiveTest, ObjectsComeBackByClassName) {
    testfiles::TempPath path;
    CPoint2 point;
    point.x = -2;
    point.y = 0x01020304;
    {
        CFile f;
        ASSERT_TRUE(f.Open(path.str().c_str(), CFile::modeCreate | CFile::modeReadWrite));
        CArchive ar(&f, CArchive::store);
        ar << static_cast<const CObject*>(&point) << static_cast<const CObject*>(nullptr);
        EXPECT_THROW(ar >> point.x, CArchiveException) << "a storing archive is not read";
    }
    const Bytes expected = {0xFF, 0xFF, 3,    0,    7,    0, 'C', 'P', 'o', 'i', 'n', 't',
                            '2',  0xFE, 0xFF, 0xFF, 0xFF, 4, 3,   2,   1,   0,   0};
    EXPECT_EQ(testfiles::ReadBytes(path.str()), expected);

    CFile f;
    ASSERT_TRUE(f.Open(path.str().c_str(), CFile::modeRead));
    EXPECT_EQ(f.GetLength(), expected.size());
    CArchive ar(&f, CArchive::load);
    CObject *read = nullptr, *null = &point;
    ar >> read >> null;
    std::unique_ptr<CObject> owned(read);
    ASSERT_TRUE(read && read->IsKindOf(RUNTIME_CLASS(CPoint2)));
    EXPECT_EQ(static_cast<CPoint2*>(read)->x, -2);
    EXPECT_EQ(static_cast<CPoint2*>(read)->y, 0x01020304);
    EXPECT_EQ(null, nullptr);
    EXPECT_EQ(f.GetPosition(), expected.size());
    EXPECT_THROW(ar >> read, CArchiveException) << "past the end";
}

struct BadReference {
    const char* name;
    Bytes bytes;
    int cause;
};

void PrintTo(const BadReference& c, std::ostream* os) {
    *os << c.name;
}

class BadReferenceTest : public ::testing::TestWithParam<BadReference> {};

TEST_P(BadReferenceTest, IsRefused) {
    testfiles::TempFile file(GetParam().bytes);
    CFile f;
    ASSERT_TRUE(f.Open(file.str().c_str(), CFile::modeRead));
    CArchive ar(&f, CArchive::load);
    CObject* object = nullptr;
    try {
        ar >> object;
        delete object;
        FAIL() << "accepted";
    } catch (const CArchiveException& e) {
        EXPECT_EQ(e.m_cause, GetParam().cause);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Archives, BadReferenceTest,
    ::testing::Values(
        BadReference{"other_tag", {0x01, 0x80}, CArchiveException::badIndex},
        BadReference{
            "unknown_class", {0xFF, 0xFF, 0, 0, 3, 0, 'C', 'N', 'o'}, CArchiveException::badClass},
        BadReference{"no_factory",
                     {0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 'C', 'O', 'b', 'j', 'e', 'c', 't'},
                     CArchiveException::badClass},
        BadReference{"empty_name", {0xFF, 0xFF, 3, 0, 0, 0}, CArchiveException::badClass},
        BadReference{"name_too_long", {0xFF, 0xFF, 3, 0, 65, 0}, CArchiveException::badClass},
        BadReference{
            "control_in_name", {0xFF, 0xFF, 3, 0, 2, 0, 'C', '\n'}, CArchiveException::badClass},
        BadReference{"other_schema",
                     {0xFF, 0xFF, 2, 0, 7, 0, 'C', 'P', 'o', 'i', 'n', 't', '2'},
                     CArchiveException::badSchema},
        BadReference{
            "name_cut_short", {0xFF, 0xFF, 3, 0, 7, 0, 'C', 'P'}, CArchiveException::endOfFile},
        BadReference{"object_cut_short",
                     {0xFF, 0xFF, 3, 0, 7, 0, 'C', 'P', 'o', 'i', 'n', 't', '2', 1, 0, 0},
                     CArchiveException::endOfFile}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ArchiveTest, FileErrorsThrowAndAreNamed) {
    CFile full;
    ASSERT_TRUE(full.Open("/dev/full", CFile::modeWrite));
    try {
        full.Write("x", 1);
        FAIL() << "a write to a full disk succeeded";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::diskFull);
        EXPECT_STREQ(e.m_strFileName, "/dev/full");
    }
    testfiles::TempFile file(std::string("abc"));
    CFile f;
    ASSERT_TRUE(f.Open(file.str().c_str(), CFile::modeRead));
    EXPECT_EQ(f.Seek(-1, CFile::end), 2u);
    EXPECT_THROW(f.Seek(-4, CFile::end), CFileException);
}

} // namespace
