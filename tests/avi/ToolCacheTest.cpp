// The answers of tools kept between builds (ToolCache.h): an answer is given
// again only for the same question about the same bytes, and an entry that
// is damaged is asked anew.
#include "AviTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

// Points TESSALY_TOOL_CACHE at a folder while it lives.
class CacheFolder {
public:
    explicit CacheFolder(const std::string& folder) {
        if (const char* old = std::getenv(kName)) old_ = old;
        ::setenv(kName, folder.c_str(), 1);
    }
    ~CacheFolder() { old_ ? ::setenv(kName, old_->c_str(), 1) : ::unsetenv(kName); }

private:
    static constexpr const char* kName = "TESSALY_TOOL_CACHE";
    std::optional<std::string> old_;
};

TEST(ToolCacheTest, AnswersOnlyTheSameQuestionAboutTheSameBytes) {
    testfiles::Folder cache, work;
    ASSERT_FALSE(cache.str().empty());
    ASSERT_FALSE(work.str().empty());
    const std::string file = work / "input", runs = work / "runs";
    const CacheFolder using_(cache.str());
    // A tool that notes each run and answers with the file's bytes.
    auto ask = [&](const std::string& tool) {
        return avitest::RunOn("sh -c 'echo >> " + runs + "; " + tool + " \"$0\"'", file).out;
    };
    auto count = [&] { return testfiles::ReadText(runs).size(); };

    testfiles::WriteBytes(file, {'a', 'b', 'c'});
    EXPECT_EQ(ask("cat"), "abc");
    EXPECT_EQ(ask("cat"), "abc");
    EXPECT_EQ(count(), 1u) << "the same question about the same bytes runs once";
    EXPECT_EQ(ask("od -An -tx1"), " 61 62 63\n");
    EXPECT_EQ(count(), 2u) << "another question";
    testfiles::WriteBytes(file, {'a', 'b', 'd'});
    EXPECT_EQ(ask("cat"), "abd");
    EXPECT_EQ(count(), 3u) << "a byte changed";

    // Entries cut short or grown are not believed.
    for (const auto& entry : std::filesystem::directory_iterator(cache.str()))
        std::filesystem::resize_file(entry.path(), std::filesystem::file_size(entry.path()) - 1);
    EXPECT_EQ(ask("cat"), "abd");
    EXPECT_EQ(count(), 4u);
    for (const auto& entry : std::filesystem::directory_iterator(cache.str()))
        std::ofstream(entry.path(), std::ios::app) << "x";
    EXPECT_EQ(ask("cat"), "abd");
    EXPECT_EQ(count(), 5u);
}

} // namespace
