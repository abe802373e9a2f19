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

// The child's side: one conversion, its report written to `fd` ("1" when the
// video leaves out what only --faithful plays, else "0"; then the message).
// Never returns.
[[noreturn]] void ConvertInChild(const CString& source, const CString& destination,
                                 const CBatchConversion::Options& options, int fd) {
    std::string message;
    AfxSetMessagePresenter([&message](LPCTSTR text, UINT) {
        if (message.empty()) message = text;
        return IDOK;
    });
    // Said by the child before the wait; its outcome line comes when it is done.
    auto longVideo = [&source](const CConversion::Result& planned) {
        std::fprintf(stderr, "tessaly-convert: %s\n",
                     static_cast<LPCTSTR>(
                         CConversion::LongVideoNotice(LineSafe(source), planned.longVideoSeconds)));
    };
    HDC screen = GetDC(nullptr);
    CConversion::Result result =
        CConversion::Run(source, destination, options.uncompressed, screen, {}, options.faithful,
                         options.keyFrameEvery, longVideo);
    ReleaseDC(nullptr, screen);
    // The decoder's own message ("Error opening file") comes before the
    // conversion's, and says more; it names the source as given.
    if (message.empty() || result.messageId != IDS_LOAD_ERROR) {
        result.path = LineSafe(result.path);
        message = CConversion::Message(result).str();
    } else if (const std::string raw = source.str(), safe = LineSafe(raw); safe != raw) {
        for (std::size_t at = 0; (at = message.find(raw, at)) != std::string::npos;
             at += safe.size())
            message.replace(at, raw.size(), safe);
    }
    const bool video = result.converted || result.messageId == IDS_PARTLY_CONVERTED;
    const std::string report = std::string(video && result.faithfulDiffers ? "1" : "0") + message;
    for (std::size_t at = 0; at < report.size();) {
        const ssize_t n = write(fd, report.data() + at, report.size() - at);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) at += std::size_t(n);
    }
    _exit(result.converted ? 0 : 1);
}

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
        if (!HasGifEnding(sources[i])) continue;
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

    int converted = 0, failed = 0, skipped = 0, hinted = 0;
    // Each outcome is one line: the names in it are made line-safe.
    auto failure = [&failed](const CString& source, const std::string& message) {
        std::fprintf(stderr, "%s: %s\n", LineSafe(source.str()).c_str(), message.c_str());
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
            std::printf("%s: skipped: %s exists (--force replaces it)\n",
                        LineSafe(sources[i].str()).c_str(),
                        LineSafe(destinations[i].str()).c_str());
            ++skipped;
        } else if (const UINT refused =
                       CConversion::CheckDestination(sources[i], destinations[i])) {
            failure(sources[i], CConversion::Message(refused, LineSafe(destinations[i])).str());
        } else {
            queue.push_back(i);
        }
    }
    std::fflush(stdout);

    const int jobs = std::clamp(options.jobs > 0 ? options.jobs : Processors(), 1, kMaxJobs);
    struct Running {
        std::size_t source;
        int fd;
        int slot;
    };
    std::map<pid_t, Running> running;
    std::size_t next = 0;
    int interrupted = 0;
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
        const std::string report = ReadAll(child.fd);
        close(child.fd);
        const CString& source = sources[child.source];
        if (WIFEXITED(status) && !report.empty() && (WEXITSTATUS(status) <= 1)) {
            hinted += report[0] == '1';
            if (WEXITSTATUS(status) == 0) {
                std::printf("%s: %s\n", LineSafe(source.str()).c_str(), report.c_str() + 1);
                std::fflush(stdout);
                ++converted;
            } else {
                failure(source, report.substr(1));
            }
        } else if (g_signal) {
            std::fprintf(stderr, "%s: interrupted\n", LineSafe(source.str()).c_str());
            ++interrupted;
        } else {
            failure(source, WIFSIGNALED(status) ? std::string("the conversion ended with signal ") +
                                                      std::to_string(WTERMSIG(status))
                                                : "the conversion ended without a result");
        }
    }

    std::printf("%d converted, %d failed, %d skipped", converted, failed, skipped);
    const int notStarted = int(queue.size() - next);
    if (g_signal) std::printf(", %d interrupted", interrupted + notStarted);
    std::printf("\n");
    std::fflush(stdout);
    if (hinted)
        std::fprintf(stderr,
                     "tessaly-convert: %d of these GIFs use transparency, disposal or delays that "
                     "the videos leave out; --faithful plays them as browsers do\n",
                     hinted);
    if (g_signal) return g_signal == SIGINT ? 130 : 1;
    return failed ? 1 : 0;
}
