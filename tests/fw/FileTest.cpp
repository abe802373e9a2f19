#include "fw/File.h"
#include "platform/Memory.h"

#include "../TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(FileTest, ReadsReportWhatArrived) {
    const testfiles::TempFile file("0123456789");
    const std::string path = file.str();
    CFile f;
    ASSERT_TRUE(f.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(f.m_hFile, &high), 10u);
    EXPECT_EQ(high, 0u);
    char buf[16] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(f.m_hFile, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_TRUE(ReadFile(f.m_hFile, buf, 16, &got, nullptr));
    EXPECT_EQ(got, 6u) << "a short read at the end of the file";
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_TRUE(ReadFile(f.m_hFile, buf, 16, &got, nullptr));
    EXPECT_EQ(got, 0u);
    f.Close();
    EXPECT_EQ(GetFileSize(f.m_hFile, nullptr), INVALID_FILE_SIZE);
    EXPECT_FALSE(ReadFile(f.m_hFile, buf, 1, &got, nullptr));
}

TEST(FileTest, OpenFailuresNameTheirCause) {
    CFile f;
    CFileException e;
    EXPECT_FALSE(f.Open("/nonexistent/dir/x.gif", CFile::modeRead, &e));
    EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(e.m_strFileName, "/nonexistent/dir/x.gif");
    EXPECT_FALSE(f.Open(std::filesystem::temp_directory_path().c_str(), CFile::modeRead, &e))
        << "a folder is not a file";
    EXPECT_EQ(f.m_hFile, CFile::hFileNull);
}

TEST(FileTest, DenyWriteKeepsOutAnExclusiveOpener) {
    const testfiles::TempFile file("x");
    const std::string path = file.str();
    CFile reader, writer;
    ASSERT_TRUE(reader.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
    CFileException e;
    EXPECT_FALSE(writer.Open(path.c_str(), CFile::modeWrite | CFile::shareExclusive, &e));
    EXPECT_EQ(e.m_cause, CFileException::sharingViolation);
    reader.Close();
    EXPECT_TRUE(writer.Open(path.c_str(), CFile::modeWrite | CFile::shareExclusive));
}

TEST(MemoryTest, InjectedFailureHitsExactlyTheChosenAllocation) {
    AfxInjectAllocFailure(2);
    void* a = AfxAllocMemory(8, false);
    void* b = AfxAllocMemory(8, true);
    void* c = AfxAllocMemory(8, false);
    void* d = AfxAllocMemory(8, false);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr) << "one failure only";
    EXPECT_EQ(static_cast<unsigned char*>(b)[7], 0);
    AfxFreeMemory(a);
    AfxFreeMemory(b);
    AfxFreeMemory(d);
}

} // namespace
