// Files for tests of every layer: whole files read and written as bytes, and
// paths, files and folders in the temporary folder that go with their object.
// Plain C++ and POSIX only, so that the stand-alone test programs can use it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace testfiles {

using Bytes = std::vector<std::uint8_t>;

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The whole file; nothing for a file that cannot be read.
inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

// A path in the temporary folder, removed when the object goes. Nothing is
// made there: that is left to the test.
class TempPath {
public:
    explicit TempPath(const std::string& suffix = "") {
        static int serial = 0;
        path_ =
            std::filesystem::temp_directory_path() / ("tessaly-test-" + std::to_string(::getpid()) +
                                                      "-" + std::to_string(serial++) + suffix);
        std::filesystem::remove(path_);
    }
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    std::string str() const { return path_.string(); }
    bool exists() const { return std::filesystem::exists(path_); }

private:
    std::filesystem::path path_;
};

// A temporary file holding the given bytes.
class TempFile : public TempPath {
public:
    explicit TempFile(const Bytes& bytes) { WriteBytes(str(), bytes); }
    explicit TempFile(std::string_view text) : TempFile(Bytes(text.begin(), text.end())) {}
};

// A folder of its own in the temporary folder, removed with all it holds.
// Its path is empty when it could not be made.
class Folder {
public:
    Folder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessaly-files-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }
    // The names of what the folder holds.
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.insert(entry.path().filename().string());
        return names;
    }

private:
    std::filesystem::path path_;
};

} // namespace testfiles
