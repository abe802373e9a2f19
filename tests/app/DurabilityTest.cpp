// When a conversion flushes its video to the disk: before the rename that
// replaces an existing file (and the folder after it), so that a power cut
// leaves the old file or the new one; never for a new file, which replaces
// nothing; and what a failing flush or rename says. fsync and rename are
// recorded, and made to fail on request, by this executable's own
// definitions, which come before the C library's.
#include "app/Conversion.h"
#include "app/TemporaryFile.h"

#include "../TestFiles.h"
#include "../gif/GifBuilder.h"

#include <gtest/gtest.h>

#include "res/Resource.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {
std::vector<std::string> g_calls;
std::string g_failing; // the call that fails with EIO, as a failing disk makes it

bool Fails(const char* call) {
    g_calls.push_back(call);
    if (g_failing != call) return false;
    errno = EIO;
    return true;
}
} // namespace

extern "C" int fsync(int fd) {
    return Fails("fsync") ? -1 : static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int rename(const char* from, const char* to) {
    return Fails("rename") ? -1 : static_cast<int>(syscall(SYS_rename, from, to));
}

namespace {

void WriteTinyGif(const std::string& gif) {
    testfiles::WriteBytes(gif, gifbuild::Gif(2, 2, gifbuild::DistinctTable(4))
                                   .FlatImage(0, 0, 2, 2, {0, 1, 2, 3})
                                   .Trailer()
                                   .bytes);
}

TEST(DurabilityTest, OnlyAReplacedFileIsFlushedAndBeforeItIsReplaced) {
    const testfiles::Folder folder;
    const std::string gif = folder / "in.gif", avi = folder / "out.avi";
    WriteTinyGif(gif);
    const std::vector<std::string> replacing{"fsync", "rename", "fsync"};
    struct Case {
        bool named, replaces;
        std::vector<std::string> calls;
    } cases[] = {
        {false, false, {}},
        {false, true, replacing},
        {true, false, {"rename"}},
        {true, true, replacing},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(avi);
        if (c.replaces) std::ofstream(avi) << "old";
        TemporaryFile::UseNamedFiles(c.named);
        HDC screen = GetDC(nullptr);
        g_calls.clear();
        const CConversion::Result r = CConversion::Run(gif.c_str(), avi.c_str(), false, screen);
        const std::vector<std::string> calls = g_calls;
        ReleaseDC(nullptr, screen);
        EXPECT_TRUE(r.converted);
        EXPECT_EQ(calls, c.calls) << (c.named ? "named, " : "anonymous, ")
                                  << (c.replaces ? "replacing" : "new");
        EXPECT_GT(std::filesystem::file_size(avi), 100u);
    }
    TemporaryFile::UseNamedFiles(false);
}

// A flush or rename that fails keeps the old file and says the disk's reason.
TEST(DurabilityTest, AFailingFlushOrRenameSaysWhy) {
    const testfiles::Folder folder;
    const std::string gif = folder / "in.gif", avi = folder / "out.avi";
    WriteTinyGif(gif);
    TemporaryFile::UseNamedFiles(true);
    for (const char* call : {"fsync", "rename"}) {
        std::ofstream(avi) << "old";
        g_failing = call;
        HDC screen = GetDC(nullptr);
        const CConversion::Result r = CConversion::Run(gif.c_str(), avi.c_str(), false, screen);
        ReleaseDC(nullptr, screen);
        g_failing.clear();
        EXPECT_EQ(r.messageId, IDS_WRITE_ERROR) << call;
        EXPECT_EQ(std::string(CConversion::Message(r)),
                  "Error writing file " + avi + ": Input/output error")
            << call;
        EXPECT_EQ(testfiles::ReadText(avi), "old") << call;
    }
    TemporaryFile::UseNamedFiles(false);
}

} // namespace
