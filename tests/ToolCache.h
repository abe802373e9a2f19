// What an independent tool (ffmpeg, ffprobe, ImageMagick) answered about the
// bytes of one file, kept in the folder that TESSALY_TOOL_CACHE names. The
// same question about the same bytes has the same answer, so a test run that
// builds the program several ways (plain, under the sanitizers) starts each
// tool once for each video the builds all write alike: a build whose video
// differs by one byte asks the tool again. Without the variable nothing is
// kept.
//
// An entry is a file named after 128 bits of the question and the bytes; it
// repeats the question and the number of bytes, which are compared on
// reading, and holds the answer: exit status, standard output and standard
// error. Entries are written under a name of their own and renamed into
// place, so that tests running side by side never read half of one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <unistd.h>

namespace toolcache {

struct Answer {
    int exitCode = -1;
    std::string out, err;
};

// Longer answers (every frame of a large video, decoded) are not kept, nor
// answers about larger files: a few of them would take more room than all
// the others.
constexpr std::size_t kLargestKept = 32 << 20;

// The cache folder, or empty when there is none.
inline std::string Folder() {
    const char* folder = std::getenv("TESSALY_TOOL_CACHE");
    return folder ? folder : "";
}

// The whole file; nullopt when it cannot be read or is larger than `limit`
// (a large video is asked about anew rather than read and hashed each time).
inline std::optional<std::string> FileBytes(const std::string& path,
                                            std::uintmax_t limit = kLargestKept) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > limit) return std::nullopt;
    std::string bytes(size, '\0');
    std::ifstream in(path, std::ios::binary);
    if (!in.read(bytes.data(), std::streamsize(size)) || in.peek() != EOF) return std::nullopt;
    return bytes;
}

// Two 64-bit hashes (FNV-1a, and a multiply-rotate over 8-byte words) of the
// question and the bytes, as 32 hexadecimal digits.
inline std::string Key(const std::string& question, const std::string& bytes) {
    std::uint64_t fnv = 0xcbf29ce484222325u, mix = 0x9e3779b97f4a7c15u;
    auto add = [&](const std::string& s) {
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            fnv = (fnv ^ word) * 0x100000001b3u;
            mix = ((mix ^ word) * 0xff51afd7ed558ccdu);
            mix = (mix << 31 | mix >> 33) * 0xc4ceb9fe1a85ec53u;
        }
        for (; i < s.size(); ++i) {
            fnv = (fnv ^ std::uint8_t(s[i])) * 0x100000001b3u;
            mix = ((mix ^ std::uint8_t(s[i])) * 0xff51afd7ed558ccdu);
        }
        fnv = (fnv ^ s.size()) * 0x100000001b3u;
        mix = (mix ^ s.size()) * 0xc4ceb9fe1a85ec53u;
    };
    add(question);
    add(bytes);
    char hex[33];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(fnv),
                  static_cast<unsigned long long>(mix));
    return hex;
}

inline std::string Header(const std::string& question, const std::string& bytes) {
    return "tool answer 1\n" + question + "\n" + std::to_string(bytes.size()) + "\n";
}

// The entry's path in the folder.
inline std::string EntryPath(const std::string& folder, const std::string& question,
                             const std::string& bytes) {
    return folder + "/" + Key(question, bytes);
}

inline std::optional<Answer> Find(const std::string& entryPath, const std::string& question,
                                  const std::string& bytes) {
    const std::optional<std::string> entry = FileBytes(entryPath, 2 * kLargestKept);
    const std::string header = Header(question, bytes);
    if (!entry || entry->compare(0, header.size(), header) != 0) return std::nullopt;
    // The status line after the header: exit status and the two lengths.
    const std::size_t end = entry->find('\n', header.size());
    if (end == std::string::npos) return std::nullopt;
    std::istringstream status(entry->substr(header.size(), end - header.size()));
    Answer answer;
    std::size_t outSize = 0, errSize = 0;
    if (!(status >> answer.exitCode >> outSize >> errSize)) return std::nullopt;
    const std::size_t at = end + 1;
    if (entry->size() != at + outSize + errSize) return std::nullopt;
    answer.out = entry->substr(at, outSize);
    answer.err = entry->substr(at + outSize);
    return answer;
}

inline void Keep(const std::string& entryPath, const std::string& question,
                 const std::string& bytes, const Answer& answer) {
    if (answer.out.size() + answer.err.size() > kLargestKept) return;
    const std::string temporary = entryPath + ".part-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary);
        out << Header(question, bytes) << answer.exitCode << ' ' << answer.out.size() << ' '
            << answer.err.size() << '\n'
            << answer.out << answer.err;
        if (!out.flush()) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return;
        }
    }
    std::error_code ignored;
    std::filesystem::rename(temporary, entryPath, ignored);
    std::filesystem::remove(temporary, ignored);
}

} // namespace toolcache
