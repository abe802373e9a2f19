// Helpers for the conversion tests: paths in private folders, in which
// anything left beside a video is seen.
#pragma once

#include "../TestFiles.h"

#include <filesystem>
#include <string>

namespace apptest {

// A file's path in a Folder.
class FolderPath {
public:
    FolderPath(const testfiles::Folder& folder, const std::string& name) : path_(folder / name) {}
    const std::string& str() const { return path_; }
    bool exists() const { return std::filesystem::exists(path_); }

private:
    std::string path_;
};

} // namespace apptest
