#include "app/TemporaryFile.h"

#include "app/SignalBlock.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool g_namedOnly = false;

// The named temporary file that the signal handlers remove, published as one
// atomic pointer to a name that never changes, so that a handler on any
// thread sees a whole name or none. The names stay allocated: a handler may
// still be reading one that has just been replaced.
std::atomic<const char*> g_pending{nullptr};
std::vector<std::unique_ptr<char[]>> g_names;
static_assert(std::atomic<const char*>::is_always_lock_free);

void SetPending(const CString& path) {
    const std::string& name = path.str();
    auto copy = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(copy.get(), name.c_str(), name.size() + 1);
    g_pending.store(copy.get());
    g_names.push_back(std::move(copy));
}

void ClearPending() {
    g_pending.store(nullptr);
}

void OnSignal(int signal) {
    if (const char* name = g_pending.load()) unlink(name);
    DieOfSignal(signal);
}

CString FolderOf(const CString& path) {
    const int slash = path.ReverseFind('/');
    if (slash < 0) return CString(".");
    return slash == 0 ? CString("/") : path.Left(slash);
}

// A short name in the folder, ".tessaly-" and six random characters.
CString CandidateName(const CString& folder) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string name = folder.str() + "/.tessaly-";
    for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
    return CString(name);
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Flushes the folder's entries: the rename that just replaced a file. A
// folder that may be written but not read (a drop box), or a file system that
// cannot flush folders, is left to the file system: the rename has happened,
// and the file is complete.
bool SyncFolder(const CString& folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int reason = errno;
    close(fd);
    errno = reason;
    return synced;
}

} // namespace

TemporaryFile::TemporaryFile(const CString& destination)
    : m_strDestination(destination), m_strFolder(FolderOf(destination)) {
    struct stat existing;
    m_bReplaces = stat(destination, &existing) == 0;
    m_nMode = m_bReplaces ? existing.st_mode & 07777 : NewFileMode();

    // An anonymous file, reachable by path through /proc while it is open.
    if (!g_namedOnly) {
        m_fd = open(m_strFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            const std::string proc = "/proc/self/fd/" + std::to_string(m_fd);
            struct stat mine, seen;
            if (fstat(m_fd, &mine) == 0 && stat(proc.c_str(), &seen) == 0 &&
                mine.st_dev == seen.st_dev && mine.st_ino == seen.st_ino) {
                m_bAnonymous = true;
                m_strPath = CString(proc);
                return;
            }
            close(m_fd);
            m_fd = -1;
        }
    }

    // A named file where there can be no anonymous one.
    SignalBlock block;
    std::string pattern = m_strFolder.str() + "/.tessaly-XXXXXX";
    m_fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (m_fd < 0) {
        m_nError = errno;
        return;
    }
    m_strPath = m_strNamed = CString(pattern);
    SetPending(m_strNamed);
}

TemporaryFile::~TemporaryFile() {
    if (!m_strNamed.IsEmpty()) {
        unlink(m_strNamed);
        ClearPending();
    }
    if (m_fd >= 0) close(m_fd);
}

bool TemporaryFile::LinkUnderTemporaryName() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const CString name = CandidateName(m_strFolder);
        SignalBlock block;
        if (linkat(AT_FDCWD, m_strPath, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
            m_strNamed = name;
            SetPending(m_strNamed);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool TemporaryFile::MoveTo() {
    // Every failure keeps the failing call's errno as the reason.
    auto failed = [this] {
        m_nError = errno;
        return false;
    };
    if (m_fd < 0) return false;
    if (fchmod(m_fd, m_nMode) != 0) return failed();
    // The old file goes only once the new one is on the disk.
    if (m_bReplaces && fsync(m_fd) != 0) return failed();
    if (m_bAnonymous) {
        // A new name is taken at once, and only if nothing has taken it since.
        if (!m_bReplaces)
            return linkat(AT_FDCWD, m_strPath, AT_FDCWD, m_strDestination, AT_SYMLINK_FOLLOW) ==
                       0 ||
                   failed();
        if (!LinkUnderTemporaryName()) return failed();
    }
    {
        SignalBlock block;
        if (rename(m_strNamed, m_strDestination) != 0) return failed();
        m_strNamed.Empty();
        ClearPending();
    }
    return !m_bReplaces || SyncFolder(m_strFolder) || failed();
}

void TemporaryFile::RemoveOnSignals() {
    HandleSignals(OnSignal);
    std::signal(SIGXFSZ, SIG_IGN);
}

void TemporaryFile::UseNamedFiles(bool named) {
    g_namedOnly = named;
}
