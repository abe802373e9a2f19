// Helpers for the conversion tests: paths in private folders, in which
// anything left beside a video is seen.
#pragma once

#include "../TestFiles.h"
#include "gif/GifDecoder.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace apptest {

// What tessaly-convert adds after its message when the default mode leaves
// out what the GIF asks for.
inline const std::string kFaithfulHint =
    "tessaly-convert: this GIF uses transparency, disposal or delays that the video leaves out; "
    "--faithful plays it as browsers do\n";

// A file's path in a Folder.
class FolderPath {
public:
    FolderPath(const testfiles::Folder& folder, const std::string& name) : path_(folder / name) {}
    const std::string& str() const { return path_; }
    bool exists() const { return std::filesystem::exists(path_); }

private:
    std::string path_;
};

// Whether every colour the GIF can show, and `extra` more, fit one 256-entry
// video palette.
inline bool ColoursFit(const std::string& path, std::size_t extra = 0) {
    CGifDecoder decoder;
    if (!decoder.LoadFile(path.c_str())) return false;
    const std::vector<COLORREF> colours = decoder.CollectColors();
    return std::set<COLORREF>(colours.begin(), colours.end()).size() + extra <= 256;
}

// The process and its children (a batch converts in child processes).
inline std::vector<std::string> ProcessAndChildren(pid_t pid) {
    std::vector<std::string> found{std::to_string(pid)};
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        // /proc/N/stat: "N (name) state ppid ...", the name in parentheses.
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const std::size_t close = line.rfind(')');
        std::istringstream rest(close == std::string::npos ? "" : line.substr(close + 1));
        std::string state;
        long parent = 0;
        if (rest >> state >> parent && parent == pid)
            found.push_back(entry.path().filename().string());
    }
    return found;
}

// Waits, up to a minute, until process `pid` or a child of it holds a file
// open in `folder` other than `except` (a conversion has begun its video).
// Whether it did.
inline bool WaitUntilWritingIn(pid_t pid, const std::string& folder,
                               const std::string& except = "") {
    namespace fs = std::filesystem;
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < until) {
        for (const std::string& process : ProcessAndChildren(pid)) {
            std::error_code error;
            for (const auto& fd : fs::directory_iterator("/proc/" + process + "/fd", error)) {
                const std::string target = fs::read_symlink(fd.path(), error).string();
                if (!error && target.rfind(folder + "/", 0) == 0 && target != except) return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace apptest
