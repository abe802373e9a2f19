// tessaly-convert SOURCE... -o FOLDER: one outcome line per file and a
// summary, the exit statuses, --force, sources that would share a video, and
// Ctrl+C in the middle of a batch.
#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testfiles::Folder;
using testfiles::ReadText;
using testfiles::WriteBytes;

namespace {

const std::string kConvert = TESSALY_CONVERT;

gifbuild::Bytes TinyGif() {
    gifbuild::Gif gif(8, 8, gifbuild::DistinctTable(4));
    gif.FlatImage(0, 0, 8, 8, std::vector<std::uint8_t>(64, 1));
    return gif.Trailer().bytes;
}

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(BatchTest, OutcomesSummaryAndExitStatus) {
    Folder folder;
    fs::create_directories(folder / "in/b");
    WriteBytes(folder / "in/a.gif", TinyGif());
    WriteBytes(folder / "in/b/c.GIF", TinyGif());
    std::ofstream(folder / "in/broken.gif") << "GIF89a";
    std::ofstream(folder / "in/notes.txt") << "x";
    const std::string in = folder / "in/";
    struct Case {
        const char* what;
        std::string args;
        int exitCode;
        std::size_t files; // outcome lines
        const char* summary;
    } cases[] = {
        {"all new", in + "a.gif " + in + "b/c.GIF -j 2 -o " + folder / "out", 0, 2,
         "2 converted, 0 failed, 0 skipped"},
        {"existing videos are skipped", in + "a.gif " + in + "b/c.GIF -o " + folder / "out", 0, 2,
         "0 converted, 0 failed, 2 skipped"},
        {"--force replaces them", "--force " + in + "a.gif --output-dir=" + folder / "out", 0, 1,
         "1 converted, 0 failed, 0 skipped"},
        {"failures",
         in + "broken.gif " + in + "notes.txt " + in + "a.gif -j1 -o " + folder / "out2", 1, 3,
         "1 converted, 2 failed, 0 skipped"},
    };
    for (const Case& c : cases) {
        const avitest::CommandResult r = avitest::Run("timeout 60 " + kConvert + " " + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.err;
        // One line per file, prefixed with its name, then the summary.
        const std::set<std::string> out = Lines(r.out), err = Lines(r.err);
        EXPECT_TRUE(out.count(c.summary)) << c.what << "\n" << r.out;
        std::size_t files = 0;
        for (const auto* lines : {&out, &err})
            for (const std::string& line : *lines) files += line.rfind(in, 0) == 0;
        EXPECT_EQ(files, c.files) << c.what << "\n" << r.out << r.err;
    }
    EXPECT_TRUE(Lines(avitest::Run(kConvert + " " + in + "broken.gif -o " + folder / "out2").err)
                    .count(in + "broken.gif: Error loading file " + in + "broken.gif"));
    EXPECT_EQ(Names(folder / "out"), (std::set<std::string>{"a.avi", "c.avi"}));
    EXPECT_EQ(Names(folder / "out2"), (std::set<std::string>{"a.avi"}));
}

// Names with control characters are quoted as the shell's $'...', so that
// each outcome is one line, which the shell reads back as the name.
TEST(BatchTest, NamesWithControlCharactersStayOnTheirLine) {
    Folder folder;
    fs::create_directories(folder / "in");
    const std::string names[] = {"two\nlines.gif", "tab\tquote'back\\slash.gif",
                                 "escape\033[31mred.gif"};
    for (const std::string& name : names) WriteBytes(folder / ("in/" + name), TinyGif());
    std::ofstream(folder / "in/broken\r.gif") << "GIF89a";
    const avitest::CommandResult r =
        avitest::Run(kConvert + " " + folder / "in/*.gif -o " + folder / "out");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::set<std::string> sources;
    for (const std::string* text : {&r.out, &r.err}) {
        std::istringstream lines(*text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("$'", 0) != 0) continue;
            const std::size_t end = line.find("': ");
            ASSERT_NE(end, std::string::npos) << line;
            const std::string quoted = line.substr(0, end + 1);
            // What follows names the source or the video the same way.
            EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) {
                return std::iscntrl(static_cast<unsigned char>(c));
            })) << line;
            std::ofstream(folder / "echo.sh") << "printf %s " << quoted;
            sources.insert(avitest::Run("bash " + folder / "echo.sh").out);
        }
    }
    EXPECT_EQ(sources,
              (std::set<std::string>{folder / ("in/" + names[0]), folder / ("in/" + names[1]),
                                     folder / ("in/" + names[2]), folder / "in/broken\r.gif"}));
    EXPECT_TRUE(Lines(r.out).count("3 converted, 1 failed, 0 skipped")) << r.out;
}

// Two sources with one name are refused before anything is converted.
TEST(BatchTest, SourcesThatWouldShareAVideoAreRefused) {
    Folder folder;
    fs::create_directories(folder / "a");
    fs::create_directories(folder / "b");
    WriteBytes(folder / "a/x.gif", TinyGif());
    WriteBytes(folder / "b/x.gif", TinyGif());
    WriteBytes(folder / "a/y.gif", TinyGif());
    const avitest::CommandResult r =
        avitest::Run(kConvert + " " + folder / "a/y.gif " + folder / "a/x.gif " +
                     folder / "b/x.gif -o " + folder / "out");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "tessaly-convert: " + folder / "a/x.gif and " + folder / "b/x.gif" +
                         " would both become " + folder / "out/x.avi\n");
    EXPECT_FALSE(fs::exists(folder / "out/y.avi"));
}

// Ctrl+C after the first video: it is kept, the one being made leaves
// nothing, and the rest are not started.
TEST(BatchTest, InterruptionKeepsFinishedVideosAndLeavesNoTemporaryFile) {
    Folder folder;
    WriteBytes(folder / "a.gif", TinyGif());
    // A large screen and thousands of one-pixel images: seconds of work.
    gifbuild::Gif slow(1500, 1500, gifbuild::DistinctTable(4));
    for (int i = 0; i < 3000; ++i) slow.FlatImage(i % 1500, 0, 1, 1, {1});
    WriteBytes(folder / "b.gif", slow.Trailer().bytes);
    WriteBytes(folder / "c.gif", TinyGif());

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        std::signal(SIGINT, SIG_DFL); // not ignored as in a shell's background job
        execl(kConvert.c_str(), kConvert.c_str(), "-j", "1", (folder / "a.gif").c_str(),
              (folder / "b.gif").c_str(), (folder / "c.gif").c_str(), "-o",
              (folder / "out").c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[4096] = {};
    ASSERT_NE(std::fgets(line, sizeof line, lines), nullptr);
    EXPECT_EQ(std::string(line), folder / "a.gif: File successfully converted\n");
    // b's conversion has begun once its temporary file is open in the
    // folder (anonymous or named).
    EXPECT_TRUE(apptest::WaitUntilWritingIn(pid, folder / "out", folder / "out/a.avi"));
    kill(pid, SIGINT);
    std::string rest;
    while (std::fgets(line, sizeof line, lines)) rest += line;
    std::fclose(lines);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_EQ(rest, "1 converted, 0 failed, 0 skipped, 2 interrupted\n")
        << "b was stopped, c never started";
    EXPECT_EQ(Names(folder / "out"), std::set<std::string>{"a.avi"});
    EXPECT_GT(fs::file_size(folder / "out/a.avi"), 100u);
}

} // namespace
