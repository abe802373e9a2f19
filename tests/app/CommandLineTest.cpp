// Both command lines through real processes, run in a folder of their own:
// the one grammar they share, "-" for standard input and output, and what
// they say, or do not, on each stream.
#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;
using avitest::CommandResult;

const std::string kConvert = TESSALY_CONVERT, kImage = TESSALY_IMAGE;

std::string Try(const std::string& program) {
    return "Try '" + program + " --help' for more information.\n";
}

// A 2 x 1 BMP file of 24 bits.
const testfiles::Bytes kBmp = {
    'B', 'M', 62,  0,   0,   0,   0, 0, 0, 0, 54, 0, 0, 0, // file header: 62 bytes, pixels at 54
    40,  0,   0,   0,   2,   0,   0, 0, 1, 0, 0,  0,       // info header: 40 bytes, 2 x 1
    1,   0,   24,  0,   0,   0,   0, 0, 8, 0, 0,  0, // 1 plane, 24 bits, BI_RGB, 8 bytes of rows
    0,   0,   0,   0,   0,   0,   0, 0, 0, 0, 0,  0, 0, 0, 0, 0, // resolution, colours
    0,   0,   255, 255, 255, 255, 0, 0,                          // red, white, row padding
};

// Two images, the second one's index 1 transparent: what the default mode
// leaves out, so that tessaly-convert adds its --faithful hint.
testfiles::Bytes HintedGif() {
    gifbuild::Gif gif(2, 2, gifbuild::DistinctTable(4));
    gif.FlatImage(0, 0, 2, 2, {0, 1, 2, 3}).Gce(1, 10, 1).FlatImage(0, 0, 2, 2, {1, 1, 2, 2});
    return gif.Trailer().bytes;
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testfiles::WriteBytes(At("in.gif"), HintedGif());
        testfiles::WriteBytes(At("in.bmp"), kBmp);
        fs::create_directory(At("dir"));
        std::ofstream(At("plain")) << "not a folder";
    }
    std::string At(const std::string& name) const { return folder_ / name; }
    // `command` as the shell runs it in the folder; CONVERT and IMAGE stand
    // for the two programs.
    CommandResult Run(std::string command) const {
        for (const auto& [name, program] : {std::pair{"CONVERT", kConvert}, {"IMAGE", kImage}})
            for (std::size_t at; (at = command.find(name)) != std::string::npos;)
                command.replace(at, std::string(name).size(), "'" + program + "'");
        return avitest::Run("cd '" + folder_.str() + "' && " + command);
    }
    testfiles::Folder folder_;
    const std::set<std::string> initial_{"dir", "in.bmp", "in.gif", "plain"};
};

// Every fault of the arguments is found before a file is read or written, and
// said in one line, with a pointer to --help on the next.
TEST_F(CommandLineTest, UsageErrorsAreOneLineAndAPointerToHelp) {
    const std::string kTwoNames = "give the two names: tessaly-convert SOURCE.gif DESTINATION.avi";
    const struct {
        const char* command;
        std::string says;
    } cases[] = {
        {"CONVERT --jobs", "--jobs needs a value"},
        {"CONVERT --frobnicate=3 in.gif out.avi", "unknown option --frobnicate"},
        {"CONVERT -x in.gif out.avi", "unknown option -x"},
        {"CONVERT --rle8=1 in.gif out.avi", "--rle8 takes no value"},
        {"CONVERT in.gif", "a source and a destination are needed"},
        {"CONVERT --force in.gif out.avi", "--force is for converting into a folder (-o FOLDER)"},
        {"CONVERT in.gif -o out.AVI",
         "-o out.AVI: -o names a folder; to make one video, " + kTwoNames},
        {"CONVERT in.gif --output-dir=plain",
         "-o plain: -o names a folder; to make one video, " + kTwoNames},
        {"CONVERT - -o dir", "standard input (-) is converted into one video by the two names' "
                             "form: tessaly-convert SOURCE.gif DESTINATION.avi"},
        {"CONVERT in.gif - >/dev/null", "-: an AVI video cannot be written to a pipe or a "
                                        "terminal; standard output must be an empty file (> "
                                        "FILE.avi)"},
        {"IMAGE in.bmp --stretch", "--stretch needs a value"},
        {"IMAGE --frobnicate in.bmp out.bmp", "unknown option --frobnicate"},
        // The value's form is wrong: whether the image's depth suits comes later.
        {"IMAGE in.bmp --erode 7,7 out.bmp",
         "--erode 7,7: expected three row patterns P,C,N from 0 to 7"},
        {"IMAGE in.bmp --rop SRCAND, out.bmp", "--rop SRCAND,: expected CODE,FILE.bmp with CODE "
                                               "a hexadecimal raster operation or its name"},
        {"IMAGE in.bmp --map-palette= out.bmp", "--map-palette : expected FILE.bmp"},
        {"IMAGE --info in.bmp --blur=1", "--info takes no operations"},
        {"IMAGE in.bmp", "an INPUT and an OUTPUT are needed"},
    };
    for (const auto& c : cases) {
        const std::string program =
            std::string(c.command).rfind("CONVERT", 0) == 0 ? "tessaly-convert" : "tessaly-image";
        const CommandResult r = Run(c.command);
        EXPECT_EQ(r.exitCode, 2) << c.command;
        EXPECT_EQ(r.err, program + ": " + c.says + "\n" + Try(program)) << c.command;
        EXPECT_EQ(r.out, "") << c.command;
    }
    EXPECT_EQ(folder_.Names(), initial_);
}

// A value is taken after "=" or as the next word, letters group, and "--"
// ends the options: the forms of one command give one result.
TEST_F(CommandLineTest, ValuesAreTakenInEitherForm) {
    fs::copy(At("in.gif"), At("-dash.gif"));
    fs::copy(At("in.bmp"), At("-dash.bmp"));
    const char* converted[] = {"CONVERT --jobs=1 in.gif -o jobs1", "CONVERT -j 1 in.gif -o j1",
                               "CONVERT -qj1 in.gif --output-dir j1q",
                               "CONVERT -- -dash.gif dash.avi"};
    for (const char* command : converted) {
        const CommandResult r = Run(command);
        EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.err;
    }
    for (const char* made : {"jobs1/in.avi", "j1/in.avi", "j1q/in.avi", "dash.avi"})
        EXPECT_TRUE(fs::exists(At(made))) << made;

    const char* stretched[] = {"IMAGE in.bmp --stretch=4,3 a.bmp",
                               "IMAGE in.bmp --stretch 4,3 b.bmp",
                               "IMAGE --stretch 4,3 -- -dash.bmp c.bmp"};
    for (const char* command : stretched) {
        const CommandResult r = Run(command);
        EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.err;
    }
    const testfiles::Bytes a = testfiles::ReadBytes(At("a.bmp"));
    EXPECT_EQ(a.size(), 54u + 12 * 3);
    EXPECT_EQ(testfiles::ReadBytes(At("b.bmp")), a);
    EXPECT_EQ(testfiles::ReadBytes(At("c.bmp")), a);
}

TEST_F(CommandLineTest, QuietSaysNothingButErrors) {
    const CommandResult told = Run("CONVERT in.gif told.avi");
    ASSERT_EQ(told.exitCode, 0) << told.err;
    EXPECT_NE(told.out, "");
    EXPECT_NE(told.err, "") << "the --faithful hint";
    for (const char* quiet : {"-q", "--quiet"}) {
        const CommandResult r = Run(std::string("CONVERT ") + quiet + " in.gif quiet.avi");
        EXPECT_EQ(r.exitCode, 0) << quiet;
        EXPECT_EQ(r.out + r.err, "") << quiet;
        EXPECT_EQ(testfiles::ReadBytes(At("quiet.avi")), testfiles::ReadBytes(At("told.avi")));
    }
    const CommandResult failed = Run("CONVERT -q missing.gif out.avi");
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.err.find("missing.gif"), std::string::npos) << failed.err;
}

// "-" reads standard input whole, as a file of that name would be read, and
// (tessaly-image) writes the result to standard output.
TEST_F(CommandLineTest, DashIsStandardInputAndOutput) {
    ASSERT_EQ(Run("CONVERT in.gif file.avi").exitCode, 0);
    const testfiles::Bytes video = testfiles::ReadBytes(At("file.avi"));
    ASSERT_GT(video.size(), 100u);
    const struct {
        const char* command;
        const char* made;
    } same[] = {
        {"cat in.gif | CONVERT - piped.avi", "piped.avi"},
        {"CONVERT - redirected.avi <in.gif", "redirected.avi"},
        {"CONVERT in.gif - >out.avi", "out.avi"},
    };
    for (const auto& c : same) {
        const CommandResult r = Run(c.command);
        EXPECT_EQ(r.exitCode, 0) << c.command << "\n" << r.err;
        EXPECT_EQ(testfiles::ReadBytes(At(c.made)), video) << c.command;
    }

    ASSERT_EQ(Run("IMAGE in.bmp --stretch 3,2 file.bmp").exitCode, 0);
    const CommandResult piped = Run("cat in.bmp | IMAGE - --stretch 3,2 -");
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.out, testfiles::ReadText(At("file.bmp")));

    // A video is not written over what standard output already holds, nor
    // over the file standard input reads.
    fs::copy(At("in.gif"), At("held.avi"));
    for (const char* command : {"CONVERT in.gif - >>held.avi", "CONVERT - held.avi <held.avi"}) {
        EXPECT_EQ(Run(command).exitCode, 2) << command;
        EXPECT_EQ(testfiles::ReadBytes(At("held.avi")), testfiles::ReadBytes(At("in.gif")));
    }

    // Messages name standard input, not a path of the program's own.
    const struct {
        const char* command;
        const char* err;
    } refused[] = {
        {"echo junk | CONVERT - junk.avi", "tessaly-convert: Error loading file standard input\n"},
        {"echo junk | IMAGE - junk.bmp", "tessaly-image: standard input: neither a BMP nor a GIF "
                                         "file\n"},
    };
    for (const auto& c : refused) {
        const CommandResult r = Run(c.command);
        EXPECT_EQ(r.exitCode, 1) << c.command;
        EXPECT_EQ(r.err, c.err);
    }
}

// Standard output that cannot be written fails the program, whatever it had
// to say there.
TEST_F(CommandLineTest, LostStandardOutputIsAFailure) {
    const char* commands[] = {"CONVERT --help", "CONVERT in.gif full.avi", "IMAGE --version",
                              "IMAGE --info in.bmp", "IMAGE in.bmp -"};
    for (const char* command : commands) {
        const CommandResult r = Run(std::string(command) + " >/dev/full");
        EXPECT_EQ(r.exitCode, 1) << command;
        const std::string lost = "standard output: " + std::string(std::strerror(ENOSPC)) + "\n";
        EXPECT_TRUE(r.err.size() >= lost.size() &&
                    r.err.compare(r.err.size() - lost.size(), lost.size(), lost) == 0)
            << command << "\n"
            << r.err;
    }
}

// tessaly-image names its output as the converter names a video.
TEST_F(CommandLineTest, ImageOutputNamesFollowTheConvertersRule) {
    const struct {
        const char* given;
        const char* made; // null when refused
    } cases[] = {{"picture", "picture.bmp"},
                 {"upper.BMP", "upper.BMP"},
                 {"picture.png", nullptr},
                 {"dotted.", nullptr}};
    std::set<std::string> names = initial_;
    for (const auto& c : cases) {
        const CommandResult r = Run(std::string("IMAGE in.bmp ") + c.given);
        if (c.made) {
            EXPECT_EQ(r.exitCode, 0) << c.given << "\n" << r.err;
            names.insert(c.made);
            continue;
        }
        EXPECT_EQ(r.exitCode, 2) << c.given;
        EXPECT_EQ(r.err, "tessaly-image: Invalid extension for output file " +
                             std::string(c.given) + "\n");
    }
    EXPECT_EQ(folder_.Names(), names);
}

} // namespace
