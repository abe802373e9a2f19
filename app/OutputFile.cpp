#include "app/OutputFile.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <system_error>

OutputFile::Refusal OutputFile::Check(const CString& source, const CString& destination) {
    // stat follows symbolic links: a link is judged by the file it names.
    struct stat target;
    if (stat(destination, &target) != 0) return kAccepted; // a new file
    if (!S_ISREG(target.st_mode)) return kNotFile;
    struct stat original;
    if (stat(source, &original) == 0 && original.st_dev == target.st_dev &&
        original.st_ino == target.st_ino)
        return kIsSource;
    if ((target.st_mode & S_IWUSR) == 0) return kReadOnly;
    return kAccepted;
}

CString OutputFile::Resolved(const CString& destination) {
    namespace fs = std::filesystem;
    fs::path path = destination.str();
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(path, error)) return CString(path.string());
        const fs::path target = fs::read_symlink(path, error);
        if (error) break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return destination;
}

OutputFile::OutputFile(const CString& destination) : m_file(Resolved(destination)) {}
