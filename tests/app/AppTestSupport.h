// Helpers for the conversion tests: paths in private folders, in which
// anything left beside a video is seen.
#pragma once

#include "../TestFiles.h"
#include "gif/GifDecoder.h"

#include <filesystem>
#include <set>
#include <string>

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

} // namespace apptest
