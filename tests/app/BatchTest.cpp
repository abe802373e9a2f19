// tessaly-convert SOURCE... -o FOLDER: one outcome line per file and a
// summary, the exit statuses, --force, sources that would share a video, the
// --faithful hint, the progress line on a terminal, quiet runs, and signals
// in the middle of a batch.
#include "app/BatchConversion.h"

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
#include <pty.h>
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
        EXPECT_EQ(r.out.find('\r'), std::string::npos) << "no progress line off a terminal";
    }
    EXPECT_TRUE(Lines(avitest::Run(kConvert + " " + in + "broken.gif -o " + folder / "out2").err)
                    .count(in + "broken.gif: Error loading file " + in + "broken.gif"));
    EXPECT_TRUE(Lines(avitest::Run(kConvert + " " + in + "missing.gif -o " + folder / "out2").err)
                    .count(in + "missing.gif: Error opening file " + in +
                           "missing.gif: No such file or directory"));
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

// A GIF whose default video leaves nothing out: one opaque image shown for
// 7 hundredths, about a frame at 15 frames per second.
gifbuild::Bytes PlainGif() {
    gifbuild::Gif gif(8, 8, gifbuild::DistinctTable(4));
    gif.Gce(0, 7, 0).FlatImage(0, 0, 8, 8, std::vector<std::uint8_t>(64, 1));
    return gif.Trailer().bytes;
}

// The --faithful hint counts the GIFs it is about, agrees with the count, and
// comes before the summary, which ends the run.
TEST(BatchTest, TheFaithfulHintAgreesAndPrecedesTheSummary) {
    Folder folder;
    WriteBytes(folder / "plain.gif", PlainGif());
    WriteBytes(folder / "a.gif", TinyGif()); // no delay: 1/10 s, not 1/15
    WriteBytes(folder / "b.gif", TinyGif());
    struct Case {
        std::string sources, hint;
    } cases[] = {
        {folder / "plain.gif " + folder / "a.gif",
         "tessaly-convert: 1 of these GIFs uses transparency, disposal or delays that its video "
         "leaves out; --faithful plays it as browsers do"},
        {folder / "a.gif " + folder / "b.gif",
         "tessaly-convert: 2 of these GIFs use transparency, disposal or delays that the videos "
         "leave out; --faithful plays them as browsers do"},
    };
    for (const Case& c : cases) {
        const avitest::CommandResult r = avitest::Run("{ " + kConvert + " --force " + c.sources +
                                                      " -o " + folder / "out 2>&1; }");
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        ASSERT_GE(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines.end()[-2], c.hint) << r.out;
        EXPECT_EQ(lines.back(), "2 converted, 0 failed, 0 skipped") << r.out;
    }
}

// What a terminal shows of `output`: carriage returns go back to the start
// of the line, "\033[K" erases the rest of it, newlines end it.
std::vector<std::string> Screen(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output.compare(i, 3, "\033[K") == 0) {
            line.resize(column);
            i += 2;
        } else if (output[i] == '\r') {
            column = 0;
        } else if (output[i] == '\n') {
            lines.push_back(line);
            line.clear();
            column = 0;
        } else {
            if (column < line.size())
                line[column] = output[i];
            else
                line += output[i];
            ++column;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// On a terminal a batch shows "N of M files (K running)" in place below the
// outcomes, which each keep a line of their own, and takes the line away at
// the end; quiet, it shows only failures.
TEST(BatchTest, ProgressOnATerminalAndQuietRuns) {
    Folder folder;
    for (const char* name : {"a.gif", "b.gif", "c.gif"}) WriteBytes(folder / name, PlainGif());
    std::ofstream(folder / "broken.gif") << "GIF89a";
    const std::vector<CString> sources = {CString(folder / "a.gif"), CString(folder / "b.gif"),
                                          CString(folder / "broken.gif"),
                                          CString(folder / "c.gif")};
    for (const bool quiet : {false, true}) {
        fs::remove_all(folder / "out");
        int terminal = -1;
        const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CBatchConversion::Options options;
            options.jobs = 2;
            options.quiet = quiet;
            std::exit(CBatchConversion::Run(sources, CString(folder / "out"), options));
        }
        std::string output;
        char buffer[4096];
        for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) != 0;) {
            if (n > 0)
                output.append(buffer, std::size_t(n));
            else if (errno != EINTR)
                break; // EIO once the child has gone
        }
        close(terminal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::string failure =
            folder / "broken.gif: Error loading file " + folder / "broken.gif";
        std::vector<std::string> expected = {failure};
        if (!quiet) {
            EXPECT_NE(output.find("\r4 of 4 files (0 running)\033[K"), std::string::npos) << output;
            for (const char* name : {"a.gif", "b.gif", "c.gif"})
                expected.push_back(folder / name + ": File successfully converted");
            expected.push_back("3 converted, 1 failed, 0 skipped");
        } else {
            EXPECT_EQ(output.find("files ("), std::string::npos) << output;
        }
        std::vector<std::string> screen = Screen(output);
        std::sort(screen.begin(), screen.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(screen, expected) << "quiet " << quiet << "\n" << output;
        EXPECT_EQ(Names(folder / "out"), (std::set<std::string>{"a.avi", "b.avi", "c.avi"}));
    }
}

// A signal after the first video: it is kept, the one being made leaves
// nothing, the rest are not started, and after the summary the batch dies of
// the signal, as the conversions did.
TEST(BatchTest, SignalsKeepFinishedVideosAndEndTheBatchByTheSignal) {
    // A large screen and thousands of one-pixel images: seconds of work.
    gifbuild::Gif slow(1500, 1500, gifbuild::DistinctTable(4));
    for (int i = 0; i < 3000; ++i) slow.FlatImage(i % 1500, 0, 1, 1, {1});
    const gifbuild::Bytes slowGif = slow.Trailer().bytes;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Folder folder;
        WriteBytes(folder / "a.gif", TinyGif());
        WriteBytes(folder / "b.gif", slowGif);
        WriteBytes(folder / "c.gif", TinyGif());

        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            std::signal(signal, SIG_DFL); // not ignored as in a shell's background job
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
        kill(pid, signal);
        std::string rest;
        while (std::fgets(line, sizeof line, lines)) rest += line;
        std::fclose(lines);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
            << "signal " << signal << ", wait status " << status;
        EXPECT_EQ(rest, "1 converted, 0 failed, 0 skipped, 2 interrupted\n")
            << "b was stopped, c never started";
        EXPECT_EQ(Names(folder / "out"), std::set<std::string>{"a.avi"});
        EXPECT_GT(fs::file_size(folder / "out/a.avi"), 100u);
    }
}

} // namespace
