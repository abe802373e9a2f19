// Helpers for AVI tests: device bitmaps from RGB pictures, and running
// ffmpeg/ffprobe on the files we write.
#pragma once

#include "../TestFiles.h"
#include "../ToolCache.h"
#include "../gfx/GfxTestSupport.h"
#include "gfx/Gdi.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace avitest {

// A picture as 0x00RRGGBB values, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> rgb;
    std::uint32_t& at(int x, int y) { return rgb[static_cast<std::size_t>(y * width + x)]; }
    std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y * width + x)]; }
};

// A device bitmap of the screen's format holding the picture.
inline HBITMAP MakeBitmap(const Picture& p) {
    return gfxtest::Painted(p.width, p.height, [&](int x, int y) {
        const std::uint32_t v = p.at(x, y);
        return RGB(BYTE(v >> 16), BYTE(v >> 8), BYTE(v));
    });
}

struct CommandResult {
    int exitCode = -1;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs a shell command, keeping its standard output and error apart.
inline CommandResult Run(const std::string& command) {
    testfiles::TempPath errFile(".err");
    CommandResult r;
    FILE* pipe = popen((command + " 2>" + errFile.str()).c_str(), "r");
    if (!pipe) return r;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    const int status = pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = testfiles::ReadText(errFile.str());
    return r;
}

// Runs `before 'path' after`: a tool's answer about one file, which only the
// file's bytes decide, so that where TESSALY_TOOL_CACHE names a folder it is
// asked once for all the builds of a test run (ToolCache.h).
inline CommandResult RunOn(const std::string& before, const std::string& path,
                           const std::string& after = "") {
    const std::string command = before + " '" + path + "' " + after;
    const std::string folder = toolcache::Folder();
    const std::optional<std::string> bytes =
        folder.empty() ? std::nullopt : toolcache::FileBytes(path);
    if (!bytes) return Run(command);
    const std::string question = before + " FILE " + after;
    const std::string entry = toolcache::EntryPath(folder, question, *bytes);
    if (const std::optional<toolcache::Answer> known = toolcache::Find(entry, question, *bytes))
        return {known->exitCode, known->out, known->err};
    const CommandResult r = Run(command);
    if (r.exitCode >= 0) toolcache::Keep(entry, question, *bytes, {r.exitCode, r.out, r.err});
    return r;
}

inline bool HaveFfmpeg() {
    static const bool have = Run("command -v ffmpeg && command -v ffprobe").exitCode == 0;
    return have;
}

#define SKIP_WITHOUT_FFMPEG()                                                                      \
    if (!avitest::HaveFfmpeg()) {                                                                  \
        GTEST_SKIP() << "ffmpeg/ffprobe not installed";                                            \
    }

// The frames of a video as ffmpeg decodes them, RGB24, top row first; the
// command must succeed without a word on standard error.
inline std::vector<Picture> DecodeWithFfmpeg(const std::string& path, int width, int height,
                                             std::string* complaints) {
    CommandResult r = RunOn("ffmpeg -nostdin -v error -i", path, "-f rawvideo -pix_fmt rgb24 -");
    if (complaints)
        *complaints = r.exitCode == 0 ? r.err : "exit " + std::to_string(r.exitCode) + ": " + r.err;
    std::vector<Picture> frames;
    const std::size_t frameBytes = static_cast<std::size_t>(width) * height * 3;
    if (frameBytes == 0) return frames;
    for (std::size_t at = 0; at + frameBytes <= r.out.size(); at += frameBytes) {
        Picture p{width, height,
                  std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
        for (std::size_t i = 0; i < p.rgb.size(); ++i) {
            const auto* px = reinterpret_cast<const unsigned char*>(r.out.data() + at + 3 * i);
            p.rgb[i] = (std::uint32_t{px[0]} << 16) | (std::uint32_t{px[1]} << 8) | px[2];
        }
        frames.push_back(std::move(p));
    }
    return frames;
}

// Values of ffprobe's description of a video, from one run of ffprobe, by
// key: those of its first video stream (e.g. "codec_name", "nb_frames",
// "r_frame_rate", and "nb_read_frames", which has every frame decoded), of
// the file ("format.duration") and of each frame it decodes
// ("frame.best_effort_timestamp", the frames' values joined by commas).
inline std::map<std::string, std::string> Probe(const std::string& path,
                                                std::initializer_list<std::string> keys) {
    std::map<std::string, std::string> lists; // section -> its keys
    bool count = false;
    for (const std::string& key : keys) {
        const std::size_t dot = key.find('.');
        std::string& list = lists[dot == std::string::npos ? "stream" : key.substr(0, dot)];
        if (!list.empty()) list += ',';
        list += key.substr(dot + 1);
        count = count || key == "nb_read_frames";
    }
    std::string entries;
    for (const auto& [section, list] : lists) {
        if (!entries.empty()) entries += ':';
        entries += section + "=" + list;
    }
    const CommandResult r = RunOn(std::string("ffprobe -v error -select_streams v:0") +
                                      (count ? " -count_frames" : "") + " -show_entries " + entries,
                                  path);
    // [STREAM] key=value ... [/STREAM], [FRAME] ..., [FORMAT] ...
    std::map<std::string, std::string> values;
    std::string prefix;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            prefix = line[1] == '/' || line == "[STREAM]" ? "" : line.substr(1, line.size() - 2);
            for (char& c : prefix) c = char(std::tolower(static_cast<unsigned char>(c)));
            if (!prefix.empty()) prefix += '.';
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string& value = values[prefix + line.substr(0, equals)];
        if (prefix != "frame.") value.clear();
        if (!value.empty()) value += ',';
        value += line.substr(equals + 1);
    }
    return values;
}

// One value of ffprobe's description of the first video stream.
inline std::string ProbeStream(const std::string& path, const std::string& key) {
    return Probe(path, {key})[key];
}

} // namespace avitest
