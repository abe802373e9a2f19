// hostile_sweep: runs tessaly-convert on damaged copies of a few small
// pictures (GIF, WebP, PNG) and fails when a run crashes, hangs, prints a sanitizer report, exits
// with a status other than 0, 1 or 2, or leaves anything but the finished video in the destination
// folder. A video that is left, after a success or after a partial conversion, must be a whole RIFF
// file.
//
//   hostile_sweep CONVERTER [--seconds N] [--keep FOLDER] PICTURE...
//
// The damaged copies are every truncation of each picture, each picture with
// every byte inverted, and a seeded set of one to four random byte changes, with
// --rle8 and --uncompressed alternating. Two run at a time, in a fixed
// shuffled order, until all are done or N seconds have passed. Under the
// sanitizers a run costs tens of milliseconds, so on a busy machine the budget
// trades completeness for a bounded test, and the shuffle spreads the part that
// runs over all files, positions and kinds of damage.
// Inputs that fail are copied into the keep folder, under the extension of
// the picture they come from, and shown with the command that repeats the
// failure.
#include "../TestFiles.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testfiles::Bytes;

constexpr auto kRunTimeout = std::chrono::seconds(10);
constexpr std::size_t kJobs = 2;
constexpr int kRandomCasesPerFile = 100;
constexpr int kFailuresShown = 20;

struct Case {
    std::string name;      // "im-odd-frames-offsets.gif cut to 17 bytes"
    std::string slug;      // "im-odd-frames-offsets-cut-17", for kept files
    std::string extension; // ".gif", of the picture and of its copies
    Bytes bytes;
    bool uncompressed = false;
    enum Damage { kNone, kCut, kChanged } damage = kChanged; // kNone must convert
};

std::vector<Case> MakeCases(const fs::path& picture, unsigned seed) {
    const Bytes original = testfiles::ReadBytes(picture);
    const std::string file = picture.filename().string();
    const std::string stem = picture.stem().string();
    const std::string ext = picture.extension().string();
    std::vector<Case> cases;
    cases.push_back({file + " intact", stem, ext, original, false, Case::kNone});
    cases.push_back({file + " intact", stem, ext, original, true, Case::kNone});

    for (std::size_t length = 0; length < original.size(); ++length) {
        Bytes cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length));
        cases.push_back({file + " cut to " + std::to_string(length) + " bytes",
                         stem + "-cut-" + std::to_string(length), ext, std::move(cut),
                         length % 2 == 1, Case::kCut});
    }
    for (std::size_t at = 0; at < original.size(); ++at) {
        Bytes flipped = original;
        flipped[at] ^= 0xFF;
        cases.push_back({file + " with byte " + std::to_string(at) + " inverted",
                         stem + "-invert-" + std::to_string(at), ext, std::move(flipped),
                         at % 2 == 0});
    }

    // Sizes, counts and code sizes break in their own ways at the edges of
    // their ranges, so a changed byte is often set to such a value.
    constexpr std::array<std::uint8_t, 6> kEdges = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF};
    std::mt19937 rng(seed);
    for (int n = 0; n < kRandomCasesPerFile; ++n) {
        Bytes changed = original;
        std::string what;
        const unsigned changes = 1 + rng() % 4;
        for (unsigned c = 0; c < changes; ++c) {
            const std::size_t at = rng() % original.size();
            const unsigned kind = rng() % 3;
            if (kind == 0)
                changed[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            else if (kind == 1)
                changed[at] = kEdges[rng() % kEdges.size()];
            else
                changed[at] = static_cast<std::uint8_t>(rng());
            char step[40];
            std::snprintf(step, sizeof step, "%s%zu=0x%02X", c ? "," : "", at, changed[at]);
            what += step;
        }
        cases.push_back({file + " with bytes " + what, stem + "-random-" + std::to_string(n), ext,
                         std::move(changed), n % 2 == 1});
    }
    return cases;
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

// One run of the converter on one case, in a folder of its own.
struct Run {
    const Case* c = nullptr;
    fs::path folder;
    pid_t pid = -1;
    Clock::time_point started;
    bool killed = false;

    fs::path input() const { return folder / ("input" + c->extension); }
    fs::path outFolder() const { return folder / "out"; }
    fs::path destination() const { return outFolder() / "video.avi"; }
    // The command that repeats this run on a kept copy of the input.
    std::string Command(const std::string& converter, const fs::path& kept) const {
        fs::path video = kept;
        video.replace_extension(".avi");
        return Quoted(converter) + (c->uncompressed ? " --uncompressed " : " --rle8 ") +
               Quoted(kept.string()) + " " + Quoted(video.string());
    }
};

// The environment for the converter. LeakSanitizer's check at exit costs
// more than the rest of a short run, so only some runs make it.
class Environment {
public:
    explicit Environment(bool withoutLeakCheck) {
        for (char** v = environ; *v; ++v)
            if (!withoutLeakCheck || std::strncmp(*v, "ASAN_OPTIONS=", 13) != 0)
                strings_.emplace_back(*v);
        if (withoutLeakCheck) {
            const char* options = std::getenv("ASAN_OPTIONS");
            // Later options win over earlier ones.
            strings_.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") +
                               ":detect_leaks=0");
        }
        for (std::string& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    char* const* get() const { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

bool Start(Run& run, const std::string& converter, const Environment& environment) {
    fs::create_directories(run.outFolder());
    testfiles::WriteBytes(run.input(), run.c->bytes);
    const std::string out = (run.folder / "stdout").string();
    const std::string err = (run.folder / "stderr").string();
    const std::string in = run.input().string(), dest = run.destination().string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char* mode = run.c->uncompressed ? "--uncompressed" : "--rle8";
    char* argv[] = {const_cast<char*>(converter.c_str()), const_cast<char*>(mode),
                    const_cast<char*>(in.c_str()), const_cast<char*>(dest.c_str()), nullptr};
    const int error =
        posix_spawn(&run.pid, converter.c_str(), &actions, nullptr, argv, environment.get());
    posix_spawn_file_actions_destroy(&actions);
    run.started = Clock::now();
    return error == 0;
}

// What went wrong with a finished run, or an empty string.
std::string Judge(const Run& run, int status) {
    const std::string err = testfiles::ReadText(run.folder / "stderr");
    if (run.killed) return "no exit after 10 s";
    // Sanitizers report, then abort or exit with status 1.
    if (err.find("Sanitizer") != std::string::npos ||
        err.find("runtime error:") != std::string::npos)
        return "sanitizer report:\n" + err;
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    if (code > 2) return "exit status " + std::to_string(code) + "\n" + err;

    bool video = false;
    std::string debris;
    for (const auto& entry : fs::directory_iterator(run.outFolder())) {
        if (entry.path() == run.destination())
            video = true;
        else
            debris += " " + entry.path().filename().string();
    }
    if (!debris.empty()) return "left behind:" + debris;
    if (code == 0 && !video) return "exit status 0 without a video";
    if (run.c->damage == Case::kNone && code != 0)
        return "an undamaged picture did not convert: " + err;
    if (video) {
        // Whatever frames it holds, a video must at least be a whole RIFF file.
        const Bytes avi = testfiles::ReadBytes(run.destination());
        std::uint32_t riffSize = 0;
        if (avi.size() >= 12) std::memcpy(&riffSize, avi.data() + 4, 4); // little-endian host
        if (avi.size() < 12 || std::memcmp(avi.data(), "RIFF", 4) != 0 ||
            std::memcmp(avi.data() + 8, "AVI ", 4) != 0 || riffSize + 8ull != avi.size())
            return "the video is not a whole RIFF AVI file (" + std::to_string(avi.size()) +
                   " bytes)";
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    std::string converter;
    double seconds = 45;
    fs::path keep = fs::current_path() / "hostile-sweep-failures";
    std::vector<fs::path> pictures;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "--keep" && i + 1 < argc)
            keep = argv[++i];
        else if (converter.empty())
            converter = arg;
        else
            pictures.emplace_back(arg);
    }
    if (converter.empty() || pictures.empty()) {
        std::fprintf(stderr,
                     "usage: hostile_sweep CONVERTER [--seconds N] [--keep FOLDER] PICTURE...\n");
        return 2;
    }

    std::vector<Case> cases;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (!fs::is_regular_file(pictures[i]) || fs::file_size(pictures[i]) == 0) {
            std::fprintf(stderr, "hostile_sweep: cannot read %s\n", pictures[i].c_str());
            return 2;
        }
        std::vector<Case> more = MakeCases(pictures[i], 20240 + static_cast<unsigned>(i));
        std::move(more.begin(), more.end(), std::back_inserter(cases));
    }
    // The undamaged files run first: they show that the sweep itself works.
    const auto damaged = std::stable_partition(
        cases.begin(), cases.end(), [](const Case& c) { return c.damage == Case::kNone; });
    std::shuffle(damaged, cases.end(), std::mt19937(1));
    const Environment leakChecked(false), unchecked(true);

    // The sweep's scratch folder, removed on every way out.
    const testfiles::Folder scratch;
    if (scratch.str().empty()) {
        std::perror("hostile_sweep: mkdtemp");
        return 2;
    }
    const fs::path work = scratch.str();

    const Clock::time_point start = Clock::now();
    const auto budget = std::chrono::duration<double>(seconds);
    std::size_t next = 0;
    std::map<Case::Damage, std::pair<std::size_t, std::size_t>> ran; // done, of
    int failures = 0;
    std::map<pid_t, Run> running;
    while (!running.empty() || (next < cases.size() && Clock::now() - start < budget)) {
        while (running.size() < kJobs && next < cases.size() && Clock::now() - start < budget) {
            Run run;
            run.c = &cases[next];
            run.folder = work / std::to_string(next);
            ++next;
            // The undamaged pictures and every fourth damaged one are checked for leaks.
            const bool checkLeaks = run.c->damage == Case::kNone || next % 4 == 0;
            if (!Start(run, converter, checkLeaks ? leakChecked : unchecked)) {
                std::fprintf(stderr, "hostile_sweep: cannot run %s\n", converter.c_str());
                return 2;
            }
            running.emplace(run.pid, run);
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            for (auto& [id, run] : running)
                if (!run.killed && Clock::now() - run.started > kRunTimeout) {
                    kill(id, SIGKILL);
                    run.killed = true;
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        const auto found = running.find(pid);
        if (found == running.end()) continue;
        const Run run = found->second;
        running.erase(found);
        ++ran[run.c->damage].first;
        const std::string problem = Judge(run, status);
        if (!problem.empty()) {
            ++failures;
            const fs::path kept = keep / (run.c->slug + run.c->extension);
            fs::create_directories(keep);
            fs::copy_file(run.input(), kept, fs::copy_options::overwrite_existing);
            if (failures <= kFailuresShown)
                std::printf("FAILED: %s\n  %s\n  %s\n", run.c->name.c_str(),
                            run.Command(converter, kept).c_str(), problem.c_str());
        }
        fs::remove_all(run.folder);
    }

    for (const Case& c : cases) ++ran[c.damage].second;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%zu pictures in %.1f s: %zu of %zu truncations, %zu of %zu changed copies%s; "
                "%d failed\n",
                pictures.size(), elapsed, ran[Case::kCut].first, ran[Case::kCut].second,
                ran[Case::kChanged].first, ran[Case::kChanged].second,
                next < cases.size() ? " (time budget reached)" : "", failures);
    return failures == 0 ? 0 : 1;
}
