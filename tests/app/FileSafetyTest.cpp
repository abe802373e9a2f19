// What a conversion does to the files around it: destinations it must not
// write (the source itself, what is not a regular file), sources it must not
// wait on or misread, interruptions by signals, long names and file-size
// limits. Each case runs in a private folder and checks everything left in it.
#include "app/Conversion.h"
#include "app/PathRules.h"
#include "app/TemporaryFile.h"

#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"
#include "AppTestSupport.h"
#include "gif/GifDecoder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testfiles::Folder;
using testfiles::ReadText;
using testfiles::WriteBytes;

namespace {

const std::string kConvert = TESSALY_CONVERT;

gifbuild::Bytes SmallGif(int frames = 2) {
    gifbuild::Gif gif(8, 8, gifbuild::DistinctTable(4));
    for (int i = 0; i < frames; ++i)
        gif.FlatImage(0, 0, 8, 8, std::vector<std::uint8_t>(64, static_cast<std::uint8_t>(i % 4)));
    return gif.Trailer().bytes;
}

avitest::CommandResult Convert(const std::string& args) {
    return avitest::Run("timeout 60 " + kConvert + " " + args);
}

TEST(DestinationTest, TheSourceAndWhatIsNoRegularFileAreRefusedUntouched) {
    struct Case {
        const char* what;
        void (*make)(const Folder&);
        bool isSource;
        fs::file_type type; // of out.avi, not following a link
    } cases[] = {
        {"a link to the source",
         [](const Folder& f) { fs::create_symlink(f / "in.gif", f / "out.avi"); }, true,
         fs::file_type::symlink},
        {"a second name of the source",
         [](const Folder& f) { fs::create_hard_link(f / "in.gif", f / "out.avi"); }, true,
         fs::file_type::regular},
        {"a FIFO", [](const Folder& f) { mkfifo((f / "out.avi").c_str(), 0644); }, false,
         fs::file_type::fifo},
        {"a link to a FIFO",
         [](const Folder& f) {
             mkfifo((f / "pipe").c_str(), 0644);
             fs::create_symlink(f / "pipe", f / "out.avi");
         },
         false, fs::file_type::symlink},
        {"a folder", [](const Folder& f) { fs::create_directory(f / "out.avi"); }, false,
         fs::file_type::directory},
    };
    for (const Case& c : cases) {
        Folder folder;
        WriteBytes(folder / "in.gif", SmallGif());
        c.make(folder);
        const std::set<std::string> before = folder.Names();
        avitest::CommandResult r = Convert(folder / "in.gif " + folder / "out.avi");
        EXPECT_EQ(r.exitCode, 2) << c.what;
        EXPECT_EQ(r.err, "tessaly-convert: " +
                             std::string(c.isSource ? "Destination file " : "Destination ") +
                             folder / "out.avi" +
                             (c.isSource ? " is the source file\n" : " is not a regular file\n"))
            << c.what;
        EXPECT_EQ(ReadText(folder / "in.gif").size(), SmallGif().size()) << c.what;
        EXPECT_EQ(fs::symlink_status(folder / "out.avi").type(), c.type) << c.what;
        EXPECT_EQ(folder.Names(), before) << c.what;
    }
}

// A link is written through, even when the file it names does not exist yet,
// and whether or not the temporary file has a name.
TEST(DestinationTest, LinksStayLinks) {
    for (bool named : {false, true}) {
        Folder folder;
        WriteBytes(folder / "in.gif", SmallGif());
        fs::create_directory(folder / "videos");
        fs::create_symlink("videos/new.avi", folder / "link.avi"); // relative, dangling
        TemporaryFile::UseNamedFiles(named);
        HDC screen = GetDC(nullptr);
        const CConversion::Result r = CConversion::Run(CString(folder / "in.gif"),
                                                       CString(folder / "link.avi"), false, screen);
        ReleaseDC(nullptr, screen);
        TemporaryFile::UseNamedFiles(false);
        EXPECT_TRUE(r.converted) << std::string(CConversion::Message(r));
        EXPECT_TRUE(fs::is_symlink(folder / "link.avi")) << (named ? "named" : "anonymous");
        EXPECT_GT(fs::file_size(folder / "videos/new.avi"), 100u);
        EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", "link.avi", "videos"}));
    }
}

// A read-only destination (no write bit for its owner) is kept whoever runs
// the program, root too, alone and in a batch with --force.
TEST(DestinationTest, AReadOnlyDestinationIsKept) {
    Folder folder;
    WriteBytes(folder / "in.gif", SmallGif());
    std::ofstream(folder / "in.avi") << "old";
    fs::permissions(folder / "in.avi", fs::perms::owner_read | fs::perms::group_read);
    for (const std::string& args : {folder / "in.gif " + folder / "in.avi",
                                    "--force " + folder / "in.gif -o " + folder.str()}) {
        avitest::CommandResult r = Convert(args);
        EXPECT_EQ(r.exitCode, 1) << args;
        EXPECT_NE(r.err.find("Error writing file " + folder / "in.avi: Permission denied\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(ReadText(folder / "in.avi"), "old") << args;
        EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", "in.avi"})) << args;
    }
}

TEST(DestinationTest, NamesUpTo255BytesConvert) {
    Folder folder;
    WriteBytes(folder / "in.gif", SmallGif());
    const std::string name = std::string(251, 'v') + ".avi";
    for (int round = 0; round < 2; ++round) { // a new file, then a replaced one
        avitest::CommandResult r = Convert(folder / "in.gif " + folder / name);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", name}));
    }
}

TEST(DestinationTest, DotsCountInTheFileNameOnly) {
    struct Case {
        const char* given;
        const char* expected; // null: refused
    } cases[] = {
        {"clip", "clip.avi"},
        {"./clip", "./clip.avi"},
        {"my.films/clip", "my.films/clip.avi"},
        {"my.films/clip.AVI", "my.films/clip.AVI"},
        {"my.films/.avi", "my.films/.avi"},
        {"clip.", nullptr},
        {"my.films/clip.mp4", nullptr},
        {"outdir/", nullptr},
        {"/", nullptr},
    };
    for (const Case& c : cases) {
        CString path(c.given);
        EXPECT_EQ(FixAviDestination(path), c.expected != nullptr) << c.given;
        if (c.expected) {
            EXPECT_EQ(std::string(path), c.expected) << c.given;
        }
    }
}

TEST(SourceTest, AFifoIsRefusedWithoutWaiting) {
    Folder folder;
    ASSERT_EQ(mkfifo((folder / "in.gif").c_str(), 0644), 0);
    avitest::CommandResult r = Convert(folder / "in.gif " + folder / "out.avi");
    EXPECT_EQ(r.exitCode, 1) << "124 is a timeout";
    EXPECT_EQ(r.err, "tessaly-convert: Error opening file " + folder / "in.gif\n");
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif"}));
}

TEST(SourceTest, FilesOf4GiBAndMoreAreNotReadModulo4GiB) {
    Folder folder;
    const gifbuild::Bytes gif = SmallGif();
    WriteBytes(folder / "big.gif", gif);
    std::error_code error;
    fs::resize_file(folder / "big.gif", (std::uintmax_t{1} << 32) + gif.size(), error);
    if (error) GTEST_SKIP() << "no room for a sparse 4 GiB file: " << error.message();
    CGifDecoder decoder;
    EXPECT_FALSE(decoder.LoadFile((folder / "big.gif").c_str()));
}

// Starts tessaly-convert on a conversion of many seconds, waits until it has
// opened its video file in `folder`, and sends it `signal`; answers its
// wait status. The signal's default action is restored for the child, which
// would otherwise inherit an ignored SIGINT from a shell's background job.
int InterruptedConversion(const Folder& folder, int signal) {
    const std::string source = folder / "in.gif", destination = folder / "out.avi";
    const char* argv[] = {kConvert.c_str(), source.c_str(), destination.c_str(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    const int spawned = posix_spawn(&pid, kConvert.c_str(), nullptr, &attributes,
                                    const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return -1;
    const bool writing = apptest::WaitUntilWritingIn(pid, folder.str(), source);
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return writing ? status : -1;
}

// A large screen and thousands of one-pixel images: each frame is the whole
// screen, so the conversion runs for many seconds.
gifbuild::Bytes SlowGif() {
    gifbuild::Gif gif(1500, 1500, gifbuild::DistinctTable(4));
    for (int i = 0; i < 3000; ++i) gif.FlatImage(i % 1500, 0, 1, 1, {1});
    return gif.Trailer().bytes;
}

// The program cleans up, then dies of the signal it was sent, as one without
// handlers would: its parent sees the signal, not an exit status.
TEST(InterruptTest, SignalsLeaveTheOldVideoAndNothingElse) {
    const gifbuild::Bytes bytes = SlowGif();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        Folder folder;
        WriteBytes(folder / "in.gif", bytes);
        std::ofstream(folder / "out.avi") << "old";
        const int status = InterruptedConversion(folder, signal);
        ASSERT_NE(status, -1) << "the conversion never opened its video";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
            << "signal " << signal << ", wait status " << status;
        EXPECT_EQ(ReadText(folder / "out.avi"), "old") << "signal " << signal;
        EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", "out.avi"}))
            << "signal " << signal;
    }
}

// Ctrl+C reaches the whole foreground process group: a shell's loop over
// files stops at the conversion it interrupted, as bash stops only when the
// program it waited for died of SIGINT.
TEST(InterruptTest, CtrlCStopsAShellLoop) {
    Folder folder;
    WriteBytes(folder / "in.gif", SlowGif());
    const std::string script = "for i in 1 2; do \"$0\" \"$1\" \"$2\"; echo \"status $?\"; done";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // a process group of its own, as a terminal's foreground job
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        std::signal(SIGINT, SIG_DFL); // a shell started with SIGINT ignored cannot catch it
        execlp("bash", "bash", "-c", script.c_str(), kConvert.c_str(), (folder / "in.gif").c_str(),
               (folder / "out.avi").c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    setpgid(pid, pid);
    EXPECT_TRUE(apptest::WaitUntilWritingIn(pid, folder.str(), folder / "in.gif"));
    kill(-pid, SIGINT);
    FILE* lines = fdopen(out[0], "r");
    std::string said;
    for (char line[256]; std::fgets(line, sizeof line, lines);) said += line;
    std::fclose(lines);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(said, "") << "the loop went on";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(folder.Names(), std::set<std::string>{"in.gif"});
}

// Where the file system has no anonymous files, the temporary file has a
// name; the handlers remove it.
// A signal the program was started to ignore (nohup) stays ignored, and the
// conversion goes on.
TEST(InterruptTest, HandlersRemoveANamedTemporaryFile) {
    struct Case {
        int signal;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
    for (const Case& c : cases) {
        Folder folder;
        const pid_t pid = fork();
        if (pid == 0) {
            std::signal(c.signal, c.ignored ? SIG_IGN : SIG_DFL);
            TemporaryFile::UseNamedFiles(true);
            TemporaryFile::RemoveOnSignals();
            TemporaryFile file(CString(folder / "out.avi"));
            if (!file.ok() || file.IsAnonymous() || access(file.path(), F_OK) != 0) _exit(99);
            raise(c.signal);
            _exit(98);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 98) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        }
        EXPECT_EQ(folder.Names().size(), c.ignored ? 1u : 0u) << "signal " << c.signal;
    }
}

// A video past the file-size limit (ulimit -f) fails as a write, not by
// SIGXFSZ, and leaves the old file.
TEST(InterruptTest, AFileSizeLimitIsAWriteError) {
    Folder folder;
    WriteBytes(folder / "in.gif", SmallGif(2000)); // 2000 frames of 8 x 8 x 3 bytes and more
    std::ofstream(folder / "out.avi") << "old";
    avitest::CommandResult r = avitest::Run("ulimit -f 64; exec " + kConvert + " --uncompressed " +
                                            folder / "in.gif " + folder / "out.avi");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tessaly-convert: Error writing file " + folder / "out.avi: File too large\n");
    EXPECT_EQ(ReadText(folder / "out.avi"), "old");
    EXPECT_EQ(folder.Names(), (std::set<std::string>{"in.gif", "out.avi"}));
}

// A small tmpfs, mounted for the test where the test may mount one.
class SmallDisk {
public:
    SmallDisk(const Folder& folder, const char* size, unsigned long flags = 0)
        : path_(folder / "disk") {
        fs::create_directory(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", flags, size) == 0;
        error_ = mounted_ ? "" : std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_, error_;
    bool mounted_ = false;
};

// A disk that fills up during the conversion: "Error writing file", the old
// video as it was, or no file where there was none, and nothing else.
TEST(DiskFullTest, AFullDiskLeavesTheOldVideoOrNothing) {
    for (bool replaces : {true, false}) {
        Folder folder;
        SmallDisk disk(folder, "size=256k");
        if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
        WriteBytes(folder / "in.gif", SmallGif(2000)); // about 400 KB of video
        if (replaces) std::ofstream(disk / "out.avi") << "old";
        avitest::CommandResult r =
            Convert("--uncompressed " + folder / "in.gif " + disk / "out.avi");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "tessaly-convert: Error writing file " +
                             disk / "out.avi: No space left on device\n");
        if (replaces) {
            EXPECT_EQ(ReadText(disk / "out.avi"), "old");
        }
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(disk / ""))
            left.insert(entry.path().filename().string());
        EXPECT_EQ(left, replaces ? std::set<std::string>{"out.avi"} : std::set<std::string>{});
    }
}

// What the system refuses is said with the system's reason, on the message's
// line (the missing files, full disks and size limits above say theirs too).
TEST(ReasonTest, TheSystemsReasonFollowsTheMessage) {
    Folder folder;
    WriteBytes(folder / "in.gif", SmallGif());
    fs::create_directory(folder / "folder.gif");
    std::ofstream(folder / "file") << "x";
    SmallDisk readOnly(folder, "size=64k", MS_RDONLY);
    struct Case {
        std::string args, err;
    } cases[] = {
        {folder / "folder.gif " + folder / "out.avi",
         "Error opening file " + folder / "folder.gif: Is a directory"},
        {folder / "in.gif " + folder / "file/out.avi",
         "Error writing file " + folder / "file/out.avi: Not a directory"},
        {folder / "in.gif " + readOnly / "out.avi",
         "Error writing file " + readOnly / "out.avi: Read-only file system"},
    };
    for (const Case& c : cases) {
        if (!readOnly.mounted() && c.args.find("/disk/") != std::string::npos) continue;
        avitest::CommandResult r = Convert(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args;
        EXPECT_EQ(r.err, "tessaly-convert: " + c.err + "\n");
    }
    EXPECT_FALSE(fs::exists(folder / "out.avi"));
}

} // namespace
