// When a conversion flushes its video to the disk: before the rename that
// replaces an existing file (and the folder after it), so that a power cut
// leaves the old file or the new one; never for a new file, which replaces
// nothing. fsync and rename are recorded by this executable's own
// definitions, which come before the C library's.
#include "app/Conversion.h"
#include "app/TemporaryFile.h"

#include "../TestFiles.h"
#include "../gif/GifBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {
std::vector<std::string> g_calls;
}

extern "C" int fsync(int fd) {
    g_calls.push_back("fsync");
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int rename(const char* from, const char* to) {
    g_calls.push_back("rename");
    return static_cast<int>(syscall(SYS_rename, from, to));
}

namespace {

TEST(DurabilityTest, OnlyAReplacedFileIsFlushedAndBeforeItIsReplaced) {
    const testfiles::Folder folder;
    const std::string gif = folder / "in.gif", avi = folder / "out.avi";
    testfiles::WriteBytes(gif, gifbuild::Gif(2, 2, gifbuild::DistinctTable(4))
                                   .FlatImage(0, 0, 2, 2, {0, 1, 2, 3})
                                   .Trailer()
                                   .bytes);
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

} // namespace
