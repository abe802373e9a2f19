#include "app/BatchConversion.h"

#include "app/Conversion.h"
#include "app/PathRules.h"
#include "app/SignalBlock.h"
#include "app/TemporaryFile.h"
#include "fw/MessageBox.h"
#include "gfx/Gdi.h"
#include "res/Resource.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace {

constexpr int kMaxJobs = 256;

// The running conversions, for the signal handler, which passes a signal on
// to each. Changed only while the signals are held back.
pid_t g_children[kMaxJobs];
volatile sig_atomic_t g_signal = 0;

void OnSignal(int signal) {
    g_signal = signal;
    for (pid_t child : g_children)
        if (child > 0) kill(child, signal);
}

// A name as a line may hold it: unchanged unless it has control characters
// (a newline, a tab, an escape), which would break the line or act on the
// terminal; then quoted as ls quotes such names, in the shell's $'...' form,
// which a shell reads back as the name itself.
std::string LineSafe(const std::string& name) {
    if (std::none_of(name.begin(), name.end(), [](char c) { return std::iscntrl(BYTE(c)); }))
        return name;
    // The characters with an escape of their own in $'...', and their letters.
    static const char kSpecial[] = "\a\b\t\n\v\f\r'\\", kLetters[] = "abtnvfr'\\";
    std::string quoted = "$'";
    for (const char c : name) {
        if (const char* special = c ? std::strchr(kSpecial, c) : nullptr) {
            quoted += '\\';
            quoted += kLetters[special - kSpecial];
        } else if (std::iscntrl(BYTE(c))) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", unsigned(BYTE(c)));
            quoted += octal;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}
CString LineSafe(const CString& name) {
    return CString(LineSafe(name.str()));
}

// Whether the parent shows a progress line, which a child's notice on the
// same terminal clears before its line.
bool g_progressShown = false;

// The child's side: one conversion, its report written to `fd` ("1" when the
// video leaves out what only --faithful plays, else "0"; then the message).
// Never returns.
[[noreturn]] void ConvertInChild(const CString& source, const CString& destination,
                                 const CBatchConversion::Options& options, int fd) {
    // The conversion's result says everything: the decoder's own boxes,
    // which a file removed during the run could still bring, are not shown.
    AfxSetMessagePresenter([](LPCTSTR, UINT, LPCTSTR) { return IDOK; });
    // Said by the child before the wait; its outcome line comes when it is done.
    auto longVideo = [&source, &options](const CConversion::Result& planned) {
        if (options.quiet) return;
        std::fprintf(stderr, "%stessaly-convert: %s\n", g_progressShown ? "\r\033[K" : "",
                     static_cast<LPCTSTR>(
                         CConversion::LongVideoNotice(LineSafe(source), planned.longVideoSeconds)));
    };
    HDC screen = GetDC(nullptr);
    CConversion::Result result =
        CConversion::Run(source, destination, options.uncompressed, screen, {}, options.faithful,
                         options.keyFrameEvery, longVideo);
    ReleaseDC(nullptr, screen);
    result.path = LineSafe(result.path);
    const std::string message = CConversion::Message(result).str();
    const bool video = result.converted || result.messageId == IDS_PARTLY_CONVERTED;
    // The first byte: 0 without a hint, 1 for a GIF's, 2 for a picture's.
    const char hint = !video || !result.faithfulDiffers ? '0' : result.gif ? '1' : '2';
    const std::string report = hint + message;
    for (std::size_t at = 0; at < report.size();) {
        const ssize_t n = write(fd, report.data() + at, report.size() - at);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) at += std::size_t(n);
    }
    _exit(result.converted ? 0 : 1);
}

// Where a batch says what happens. Outcomes go to standard output or error
// as whole lines; on a terminal, unless quiet, a progress line stands below
// them on standard output, cleared before each outcome and drawn again after,
// so that the two never share a line.
class BatchReport {
public:
    BatchReport(bool quiet, int total)
        : quiet_(quiet), shown_(!quiet && isatty(STDOUT_FILENO)), total_(total) {}

    bool ProgressShown() const { return shown_; }
    // An outcome for standard output; nothing when quiet.
    void Say(const std::string& line) {
        if (!quiet_) Print(stdout, line);
    }
    // An error, said even when quiet.
    void Warn(const std::string& line) { Print(stderr, line); }
    // A file is done, or the conversions running changed.
    void Progress(int done, int running) {
        done_ = done;
        running_ = running;
        Draw();
    }
    // The hint and the summary end the run: the progress line goes for good.
    void End(int hintedGifs, int hintedPictures, const std::string& summary) {
        Clear();
        shown_ = false;
        if (hintedGifs && !quiet_) {
            if (hintedGifs == 1)
                Warn("tessaly-convert: 1 of these GIFs uses transparency, disposal or delays that "
                     "its video leaves out; --faithful plays it as browsers do");
            else
                Warn("tessaly-convert: " + std::to_string(hintedGifs) +
                     " of these GIFs use transparency, disposal or delays that the videos leave "
                     "out; --faithful plays them as browsers do");
        }
        if (hintedPictures && !quiet_) {
            if (hintedPictures == 1)
                Warn("tessaly-convert: 1 of these pictures has frame durations that its video "
                     "leaves out; --faithful plays it as browsers do");
            else
                Warn("tessaly-convert: " + std::to_string(hintedPictures) +
                     " of these pictures have frame durations that the videos leave out; "
                     "--faithful plays them as browsers do");
        }
        Say(summary);
    }

private:
    void Print(FILE* stream, const std::string& line) {
        Clear();
        std::fprintf(stream, "%s\n", line.c_str());
        std::fflush(stream);
        Draw();
    }
    void Draw() {
        if (!shown_) return;
        std::printf("\r%d of %d files (%d running)\033[K", done_, total_, running_);
        std::fflush(stdout);
        drawn_ = true;
    }
    void Clear() {
        if (!drawn_) return;
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
        drawn_ = false;
    }

    bool quiet_, shown_, drawn_ = false;
    int total_, done_ = 0, running_ = 0;
};

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, std::size_t(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}

} // namespace

int CBatchConversion::Processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

int CBatchConversion::Run(const std::vector<CString>& sources, const CString& folder,
                          const Options& options) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(folder.str(), error) && !fs::create_directories(folder.str(), error)) {
        std::fprintf(stderr, "tessaly-convert: %s: not a folder, and cannot be made one\n",
                     static_cast<LPCTSTR>(folder));
        return 2;
    }

    // Every destination, and no two alike, before anything is converted.
    std::vector<CString> destinations(sources.size());
    std::map<std::string, std::size_t> taken;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (!HasSourceEnding(sources[i])) continue;
        const fs::path name = fs::path(sources[i].str()).filename().replace_extension(".avi");
        destinations[i] = CString((fs::path(folder.str()) / name).string());
        const auto [at, added] = taken.emplace(name.string(), i);
        if (!added) {
            std::fprintf(stderr, "tessaly-convert: %s and %s would both become %s\n",
                         LineSafe(sources[at->second].str()).c_str(),
                         LineSafe(sources[i].str()).c_str(),
                         LineSafe(destinations[i].str()).c_str());
            return 2;
        }
    }

    int converted = 0, failed = 0, skipped = 0, hintedGifs = 0, hintedPictures = 0;
    BatchReport report(options.quiet, int(sources.size()));
    // Each outcome is one line: the names in it are made line-safe.
    auto failure = [&failed, &report](const CString& source, const std::string& message) {
        report.Warn(LineSafe(source.str()) + ": " + message);
        ++failed;
    };

    // The sources to convert; the rest are answered here.
    std::vector<std::size_t> queue;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        struct stat existing;
        CString message;
        if (destinations[i].IsEmpty()) {
            message.LoadString(IDS_BAD_SOURCE_EXT);
            failure(sources[i], message.str());
        } else if (lstat(destinations[i], &existing) == 0 && !options.force) {
            report.Say(LineSafe(sources[i].str()) + ": skipped: " +
                       LineSafe(destinations[i].str()) + " exists (--force replaces it)");
            ++skipped;
        } else if (const UINT refused =
                       CConversion::CheckDestination(sources[i], destinations[i])) {
            failure(sources[i], CConversion::Message(refused, LineSafe(destinations[i])).str());
        } else {
            queue.push_back(i);
        }
    }

    const int jobs = std::clamp(options.jobs > 0 ? options.jobs : Processors(), 1, kMaxJobs);
    struct Running {
        std::size_t source;
        int fd;
        int slot;
    };
    std::map<pid_t, Running> running;
    std::size_t next = 0;
    int interrupted = 0;
    auto progress = [&] {
        report.Progress(converted + failed + skipped + interrupted, int(running.size()));
    };
    progress();
    g_progressShown = report.ProgressShown();
    HandleSignals(OnSignal); // no restarts: waitpid returns at once
    while (next < queue.size() || !running.empty()) {
        if (!g_signal && next < queue.size() && int(running.size()) < jobs) {
            const std::size_t i = queue[next++];
            int pipeFds[2];
            if (pipe(pipeFds) != 0) {
                failure(sources[i],
                        std::string("cannot start a conversion: ") + std::strerror(errno));
                continue;
            }
            std::fflush(stdout);
            std::fflush(stderr);
            SignalBlock hold;
            if (g_signal) { // arrived before the hold
                close(pipeFds[0]);
                close(pipeFds[1]);
                --next;
                continue;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                close(pipeFds[0]);
                for (pid_t& child : g_children) child = 0;
                TemporaryFile::RemoveOnSignals();
                sigset_t none;
                sigemptyset(&none);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                ConvertInChild(sources[i], destinations[i], options, pipeFds[1]);
            }
            close(pipeFds[1]);
            if (pid < 0) {
                close(pipeFds[0]);
                failure(sources[i],
                        std::string("cannot start a conversion: ") + std::strerror(errno));
                continue;
            }
            int slot = 0;
            while (g_children[slot] != 0) ++slot;
            g_children[slot] = pid;
            running.emplace(pid, Running{i, pipeFds[0], slot});
            progress();
            continue;
        }

        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break; // no children left to wait for
        }
        const auto it = running.find(pid);
        if (it == running.end()) continue;
        const Running child = it->second;
        {
            SignalBlock hold;
            g_children[child.slot] = 0;
        }
        running.erase(it);
        const std::string outcome = ReadAll(child.fd);
        close(child.fd);
        const std::string source = LineSafe(sources[child.source].str());
        if (WIFEXITED(status) && !outcome.empty() && (WEXITSTATUS(status) <= 1)) {
            hintedGifs += outcome[0] == '1';
            hintedPictures += outcome[0] == '2';
            if (WEXITSTATUS(status) == 0) {
                report.Say(source + ": " + outcome.substr(1));
                ++converted;
            } else {
                failure(sources[child.source], outcome.substr(1));
            }
        } else if (g_signal) {
            report.Warn(source + ": interrupted");
            ++interrupted;
        } else {
            failure(sources[child.source], WIFSIGNALED(status)
                                               ? std::string("the conversion ended with signal ") +
                                                     std::to_string(WTERMSIG(status))
                                               : "the conversion ended without a result");
        }
        progress();
    }

    std::string summary = std::to_string(converted) + " converted, " + std::to_string(failed) +
                          " failed, " + std::to_string(skipped) + " skipped";
    const int notStarted = int(queue.size() - next);
    if (g_signal) summary += ", " + std::to_string(interrupted + notStarted) + " interrupted";
    report.End(hintedGifs, hintedPictures, summary);
    // Ended by a signal, as the conversions were: a shell's loop over files
    // stops here as it would for any program the user interrupted.
    if (g_signal) DieOfSignal(g_signal);
    return failed ? 1 : 0;
}
