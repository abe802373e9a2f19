// tessaly-image: reads a BMP file, or the first image of a GIF file, applies
// image operations in the order given, and writes the result as a BMP file.
// Every value that does not depend on the image is checked first, then the
// output file (as the converter checks its video, OutputFile), and only then
// is the input read.
#include "app/CommandLine.h"
#include "app/Conversion.h"
#include "app/ImageOperation.h"
#include "app/MemoryFile.h"
#include "app/OutputFile.h"
#include "app/PathRules.h"
#include "dib/BmpReader.h"
#include "dib/Dib.h"
#include "fw/Exception.h"
#include "fw/File.h"
#include "fw/MessageBox.h"
#include "gif/GifDecoder.h"
#include "res/Resource.h"
#include "res/Resources.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-image INPUT [OPERATION...] OUTPUT[.bmp]\n"
    "       tessaly-image --info INPUT\n"
    "\n"
    "Reads a BMP file, the first image of a GIF file, or one of the program's\n"
    "bitmaps (INPUT resource:NUMBER, as resource:129 for the About picture),\n"
    "applies the operations in the order given and writes the image as a BMP\n"
    "file at its own depth.\n"
    "\n"
    "  --band FIRST,LAST  keep picture rows FIRST to LAST-1, counted from the top\n"
    "  --crop LEFT,TOP,RIGHT,BOTTOM\n"
    "                     keep the part from (LEFT,TOP) to (RIGHT-1,BOTTOM-1);\n"
    "                     what lies outside the picture comes out white\n"
    "  --fill black|white[,X,Y,W,H]\n"
    "                     paint the image, or the W x H rectangle at (X,Y), black\n"
    "                     or white (the nearest colour of the image's table)\n"
    "  --stretch W,H      resize to W x H by nearest pixels, same depth and colours\n"
    "  --map-palette FILE.bmp\n"
    "                     remap a 4-, 8- or 24-bit image onto the colours of FILE's\n"
    "                     colour table (the nearest colour for each)\n"
    "  --rop CODE,FILE.bmp\n"
    "                     combine FILE's pixels, from its top-left corner, with the\n"
    "                     image by a raster operation: a code in hexadecimal\n"
    "                     (CC0020) or a name (SRCCOPY, SRCPAINT, SRCAND,\n"
    "                     SRCINVERT, SRCERASE, NOTSRCCOPY, NOTSRCERASE, MERGECOPY,\n"
    "                     MERGEPAINT, PATCOPY, PATPAINT, PATINVERT, DSTINVERT,\n"
    "                     BLACKNESS, WHITENESS); the pattern is white\n"
    "  --rotate DEGREES[,RRGGBB]\n"
    "                     turn counter-clockwise onto a canvas that holds the\n"
    "                     turned picture, the corners in RRGGBB (white)\n"
    "  --blur N           blur by N passes (16 and 24 bits)\n"
    "  --smooth WEIGHT    3 x 3 smoothing, the right-hand neighbour weighted\n"
    "                     (16 and 24 bits)\n"
    "  --levels LOW,HIGH  stretch levels LOW..HIGH to 0..255 (24 bits); or\n"
    "  --levels LOW,HIGHBLUE,HIGHGREEN,HIGHRED\n"
    "  --erode P,C,N      keep pixels whose neighbours in the previous, current\n"
    "                     and next row (3-bit patterns 0-7) are all set (1 bit)\n"
    "  --dilate P,C,N     set pixels with any of those neighbours set (1 bit)\n"
    "  --erode-repeat TIMES, --dilate-repeat TIMES\n"
    "                     erode or dilate with 7,7,7 TIMES times (0-65535)\n"
    "  --info             print the image's size, depth, colours, resolution and\n"
    "                     (BMP files) the order of its rows, and on a second\n"
    "                     line its header, depth and compression in the file\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "Operations take their value joined by \"=\" or as the next word\n"
    "(--stretch=W,H, --stretch W,H); \"--\" ends the options. INPUT \"-\" reads\n"
    "standard input, OUTPUT \"-\" writes the BMP file to standard output. An\n"
    "OUTPUT whose name has no dot gets \".bmp\" appended; one with a dot must end\n"
    "in \"bmp\". BMP files of 1, 2, 4, 8, 16, 24 and 32 bits are read, with\n"
    "headers of 12 to 124 bytes, bit fields and RLE8 or RLE4; embedded JPEG or\n"
    "PNG images and OS/2 Huffman 1D are not. The output is checked before the\n"
    "input is read: the input itself, a folder, a device and a read-only file\n"
    "are refused. Exit status: 0 when done; 1 when the image could not be read,\n"
    "processed or written, or standard output could not be written; 2 for a\n"
    "usage error or a refused output file.\n";

const CommandLine::Option kInfo{"--info", 0, CommandLine::kNoValue};

int Fail(const std::string& text, int status = 1) {
    std::fprintf(stderr, "tessaly-image: %s\n", text.c_str());
    return status;
}

std::string Size(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + " \u00d7 " + std::to_string(height);
}

// Whether a width x height image of `bits` fits the graphics layer, which
// makes no bitmap or DIB section of more than 256 MiB (kMaxDeviceBitmapBytes),
// nor one whose rows would pass that at 32 bits. Crops, fills, stretches and
// raster operations go through two DIB sections.
bool FitsTheGraphicsLayer(std::int64_t width, std::int64_t height, int bits) {
    constexpr std::uint64_t cap = kMaxDeviceBitmapBytes;
    if (width < 0 || height < 0 || std::uint64_t(width) * 4 > cap) return false;
    return height == 0 ||
           DibRowBytes(std::uint64_t(width), std::uint64_t(bits)) <= cap / std::uint64_t(height);
}

// "the result, 70000 × 70000 at 24 bits, is larger than 256 MiB"
std::string TooLarge(const std::string& what, std::int64_t width, std::int64_t height, int bits,
                     const char* about = "") {
    return what + ", " + about + Size(width, height) + " at " + std::to_string(bits) +
           (bits == 1 ? " bit" : " bits") + ", is larger than 256 MiB";
}

// The start of a file: enough for the signatures of BMP and GIF files.
struct FileStart {
    unsigned char bytes[4] = {};
    std::streamsize got = 0;

    bool Starts(const char* magic) const {
        const auto n = std::streamsize(std::strlen(magic));
        return got >= n && std::memcmp(bytes, magic, std::size_t(n)) == 0;
    }
};

bool ReadStart(const std::string& path, FileStart* start) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.read(reinterpret_cast<char*>(start->bytes), sizeof start->bytes);
    start->got = in.gcount();
    return true;
}

// An image read from a file or from the program's bitmaps. A bitmap resource
// is adopted in place by the bitmap class, which never frees it: it is freed
// here, once the image no longer points into it, whatever the operations
// made of the image.
struct Input {
    CDIB dib;
    HGLOBAL resource = nullptr;
    // How a BMP file or a resource stored its rows; null for a GIF image.
    const char* rows = nullptr;
    // A BMP file's form; no header size for other images.
    BmpForm form;

    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() {
        dib.Empty();
        if (resource) FreeResource(resource);
    }
};

// The first image of a GIF file, captured at the depth the screen gives; an
// error message when there is none.
std::string ReadGif(const std::string& path, CDIB& dib) {
    CGifDecoder decoder;
    if (!decoder.LoadFile(CString(path)))
        return path + ": no image could be read from this GIF file";
    HDC screen = GetDC(nullptr);
    decoder.m_hDC = screen;
    HBITMAP frame = nullptr;
    std::string error;
    try {
        frame = decoder.GetNextFrame();
        if (!frame && decoder.m_nFrameFailure == CGifDecoder::frameEnded)
            error = path + ": no image to read (the GIF file holds none)";
        else if (!frame)
            error = path + ": no image could be read from this GIF file";
        // An image of no pixels would make a BMP file no reader takes back.
        else if (decoder.m_nWidth <= 0 || decoder.m_nHeight <= 0)
            error = path + ": no image to read (its first image is " +
                    Size(decoder.m_nWidth, decoder.m_nHeight) + ")";
        else if (!dib.CreateFromBitmap(frame))
            error = path + ": no image could be read from this GIF file";
    } catch (const CMemoryException&) {
        error = path + ": out of memory";
    }
    if (frame) DeleteObject(frame);
    ReleaseDC(nullptr, screen);
    return error;
}

bool ReadImage(const std::string& path, Input& input, std::string* error) {
    CDIB& dib = input.dib;
    // One of the program's own bitmaps, by its resource number.
    const std::string kResource = "resource:";
    if (path.rfind(kResource, 0) == 0) {
        const std::string number = path.substr(kResource.size());
        char* end = nullptr;
        const unsigned long id = std::strtoul(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || id > 0xFFFF || !dib.LoadFromResource(UINT(id))) {
            *error = path + ": no such bitmap resource";
            return false;
        }
        input.resource = dib.m_hDIB;
        input.rows = dib.m_pBMI->biHeight < 0 ? "top-down" : "bottom-up";
        // The class makes no palette for a block it adopts; the operations
        // that look colours up in the table (--map-palette, --fill) need one.
        if (!dib.MakePalette(dib.GetNumColors(), &dib.m_Palette)) {
            *error = path + ": out of memory";
            return false;
        }
    } else {
        // Only a regular file is opened: a FIFO without a writer would be
        // waited on for ever, and a device may never end.
        struct stat status;
        if (stat(path.c_str(), &status) != 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(status.st_mode)) {
            *error = path + ": is a folder";
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            *error = path + ": not a regular file (a FIFO, a device or a socket)";
            return false;
        }
        FileStart start;
        if (!ReadStart(path, &start)) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        if (start.Starts("BM")) {
            CFile file;
            if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite)) {
                *error = path + ": " + std::strerror(errno ? errno : EIO);
                return false;
            }
            std::string why;
            try {
                BmpReader reader(file);
                why = reader.Read(dib);
                input.form = reader.form();
            } catch (const CFileException& e) {
                *error = path + ": " + std::strerror(e.m_lOsError > 0 ? int(e.m_lOsError) : EIO);
                return false;
            }
            if (!why.empty()) {
                *error = path + ": " + why;
                return false;
            }
            input.rows = input.form.topDown ? "top-down" : "bottom-up";
        } else if (start.Starts("GIF8")) {
            *error = ReadGif(path, dib);
            if (!error->empty()) return false;
        } else {
            *error = path + ": neither a BMP nor a GIF file";
            return false;
        }
    }
    if (dib.GetWidth() <= 0 || dib.GetHeight() == 0) {
        *error = path + ": no image to read (" + Size(dib.GetWidth(), dib.GetHeight()) + ")";
        return false;
    }
    return true;
}

// The depths an operation works on; none listed when it works on all.
std::vector<int> DepthsOf(const std::string& name) {
    if (name == "--blur" || name == "--smooth") return {16, 24};
    if (name == "--levels") return {24};
    if (name.rfind("--erode", 0) == 0 || name.rfind("--dilate", 0) == 0) return {1};
    return {};
}

// Applies one parsed operation other than --band; an error message when it
// cannot run.
std::string Apply(const ImageOperation& op, CDIB& dib) {
    const std::string& name = op.name;
    const std::string said = name + " " + op.value;
    const int bits = dib.m_pBMI->biBitCount;
    const std::int64_t width = dib.GetWidth(), height = dib.GetHeight();
    const std::vector<int> depths = DepthsOf(name);
    if (!depths.empty() && std::find(depths.begin(), depths.end(), bits) == depths.end()) {
        std::string only;
        for (int d : depths) only += (only.empty() ? "" : " and ") + std::to_string(d);
        return name + ": not for " + std::to_string(bits) + "-bit images (" + only +
               (depths.back() == 1 ? " bit" : " bits") + " only)";
    }
    const int* n = op.n;
    const std::string failed = said + ": could not be done on this image";
    if (name == "--rotate") {
        try {
            if (!dib.Rotate(n[0], op.colour))
                return name + ": not for top-down or compressed images";
        } catch (const CMemoryException&) {
            // The class refuses a canvas past 256 MiB as one it cannot have.
            // Its size, near enough to tell the two apart:
            const double turn = n[0] % 360 * 3.14159265358979 / 180;
            const double c = std::fabs(std::cos(turn)), s = std::fabs(std::sin(turn));
            const auto w = std::int64_t(width * c + height * s),
                       h = std::int64_t(width * s + height * c);
            if (double(DibRowBytes(std::uint64_t(w), std::uint64_t(bits))) * double(h) >
                0.99 * double(kMaxDeviceBitmapBytes))
                return said + ": " + TooLarge("the result", w, h, bits, "about ");
            throw;
        }
        return {};
    }
    if (name == "--blur") return dib.Blur(n[0]) ? std::string() : failed;
    if (name == "--smooth") {
        dib.SmoothWeighted(n[0]);
        return {};
    }
    if (name == "--levels") {
        dib.AdjustLevels(n[0], n[1], n[2], n[3]);
        return {};
    }
    if (name == "--erode" || name == "--dilate") {
        const BOOL done =
            name == "--erode" ? dib.Erode(n[0], n[1], n[2]) : dib.Dilate(n[0], n[1], n[2]);
        return done ? std::string() : failed;
    }
    if (name == "--erode-repeat" || name == "--dilate-repeat") {
        const BOOL done = name == "--erode-repeat" ? dib.ErodeRepeat(n[0]) : dib.DilateRepeat(n[0]);
        return done ? std::string() : failed;
    }
    if (name == "--map-palette") {
        // The palette made from another image's colour table.
        Input source;
        std::string why;
        if (!ReadImage(op.file, source, &why)) return why;
        if (!source.dib.m_Palette.GetSafeHandle())
            return op.file + ": the image has no colour table to take a palette from";
        if (!dib.MapToPalette(&source.dib.m_Palette))
            return name + ": not for images of " + std::to_string(bits) +
                   " bits with this palette (4 bits take up to 16 colours; 8 and 24 bits up to "
                   "256)";
        return {};
    }
    // The rest go through the graphics layer's DIB sections.
    if (!FitsTheGraphicsLayer(width, height, bits))
        return said + ": " + TooLarge("the image", width, height, bits);
    if (name == "--crop") {
        const std::int64_t w = std::int64_t(n[2]) - n[0], h = std::int64_t(n[3]) - n[1];
        if (!FitsTheGraphicsLayer(w, h, bits))
            return said + ": " + TooLarge("the result", w, h, bits);
        dib.Crop(n[0], n[1], n[2], n[3]);
        if (dib.GetWidth() != w || dib.GetHeight() != h) return said + ": out of memory";
        return {};
    }
    if (name == "--fill") {
        // Only the part of the rectangle inside the picture is painted: the
        // rest is cut off here, in 64 bits.
        const std::int64_t left = op.rectangle ? n[0] : 0, top = op.rectangle ? n[1] : 0;
        const std::int64_t right = op.rectangle ? left + n[2] : width,
                           bottom = op.rectangle ? top + n[3] : height;
        const std::int64_t x = std::max<std::int64_t>(left, 0), y = std::max<std::int64_t>(top, 0);
        const std::int64_t w = std::min(right, width) - x, h = std::min(bottom, height) - y;
        if (w > 0 && h > 0) dib.Fill(int(x), int(y), int(w), int(h), op.rop);
        return {};
    }
    if (name == "--stretch") {
        if (!FitsTheGraphicsLayer(n[0], n[1], bits))
            return said + ": " + TooLarge("the result", n[0], n[1], bits);
        CDIB resized;
        if (!resized.CreateLike(n[0], n[1], dib))
            return said + ": an image of that size cannot be made";
        if (!dib.TryStretchInto(&resized, 0, 0, n[0], n[1], 0, 0, int(width), int(height), SRCCOPY))
            return said + ": out of memory";
        dib = resized;
        if (dib.GetWidth() != n[0] || dib.GetHeight() != n[1]) return said + ": out of memory";
        return {};
    }
    // --rop CODE,FILE
    Input source;
    std::string why;
    if (!ReadImage(op.file, source, &why)) return why;
    const CDIB& other = source.dib;
    if (!FitsTheGraphicsLayer(other.GetWidth(), other.GetHeight(), other.m_pBMI->biBitCount))
        return said + ": " +
               TooLarge(op.file, other.GetWidth(), other.GetHeight(), other.m_pBMI->biBitCount);
    if (!source.dib.TryStretchInto(&dib, 0, 0, int(width), int(height), 0, 0, int(width),
                                   int(height), op.rop))
        return said + ": out of memory";
    return {};
}

// The header's fields as it holds them (the resolution in pixels per metre,
// signed, and in dots per inch), and how the file stored its rows.
void PrintInfo(const Input& input) {
    const BITMAPINFOHEADER& h = *input.dib.m_pBMI;
    const auto dpi = [](LONG perMetre) { return std::llround(perMetre * 0.0254); };
    std::printf("width=%d height=%d bits=%d colours=%d compression=%s ppm=%d,%d dpi=%lld,%lld",
                int(h.biWidth), int(h.biHeight), int(h.biBitCount), input.dib.GetNumColors(),
                h.biCompression == BI_RGB ? "BI_RGB" : "other", int(h.biXPelsPerMeter),
                int(h.biYPelsPerMeter), dpi(h.biXPelsPerMeter), dpi(h.biYPelsPerMeter));
    if (input.rows) std::printf(" rows=%s", input.rows);
    std::printf("\n");
    if (input.form.headerSize) std::printf("file: %s\n", input.form.Describe().c_str());
}

// Why `output` may not be written, or nothing.
std::string Refused(const std::string& input, const std::string& output) {
    const CString destination(output.c_str());
    switch (OutputFile::Check(CString(input.c_str()), destination)) {
    case OutputFile::kIsSource:
        return CConversion::Message(IDS_DEST_IS_SOURCE, destination).str();
    case OutputFile::kNotFile:
        return CConversion::Message(IDS_DEST_NOT_FILE, destination).str();
    case OutputFile::kReadOnly:
        return "Destination file " + output + " is read-only (no write permission for its owner)";
    default:
        return {};
    }
}

} // namespace

int main(int argc, char** argv) {
    // Standard input, once read, is named as such in every message.
    std::unique_ptr<MemoryFile> standardInput;
    auto shown = [&standardInput](const std::string& text) {
        return standardInput ? standardInput->Named(text, "standard input") : text;
    };
    CommandLine line("tessaly-image", kUsage);
    line.PrintMessages(shown);
    const auto Fail = [&shown](const std::string& text, int status = 1) {
        return ::Fail(shown(text), status);
    };

    std::vector<CommandLine::Option> options = ImageOperation::Options();
    options.push_back(kInfo);
    if (!line.Parse(argc, argv, options)) return line.ExitStatus();
    std::vector<ImageOperation> operations;
    bool info = false;
    // Every value is checked here, before any file is read.
    for (const CommandLine::Given& given : line.given()) {
        if (given.Is(kInfo)) {
            info = true;
            continue;
        }
        ImageOperation op;
        op.name = given.name;
        op.value = given.value;
        const std::string wrong = op.Parse();
        if (!wrong.empty()) return line.UsageError(wrong);
        operations.push_back(op);
    }
    const std::vector<std::string>& paths = line.operands();
    if (info && !operations.empty()) return line.UsageError("--info takes no operations");
    if (info ? paths.size() != 1 : paths.size() != 2)
        return line.UsageError(info               ? "--info takes one INPUT"
                               : paths.size() < 2 ? "an INPUT and an OUTPUT are needed"
                                                  : "one INPUT and one OUTPUT, no more");
    const bool fromInput = paths[0] == "-", toOutput = !info && paths[1] == "-";
    std::string outputName = info ? std::string() : paths[1];
    if (!info && !toOutput) {
        CString fixed(outputName.c_str());
        if (!FixDestination(fixed, "bmp"))
            return Fail("Invalid extension for output file " + outputName, 2);
        outputName = fixed.str();
    }
    // The output is refused before the input is read and any operation runs.
    if (!info && !toOutput) {
        const std::string refused = Refused(fromInput ? "/dev/stdin" : paths[0], outputName);
        if (!refused.empty()) return Fail(refused, 2);
    }
    std::string inputName = paths[0];
    if (fromInput) {
        auto copy = std::make_unique<MemoryFile>("standard input");
        if (!copy->ok() || !copy->FillFrom(STDIN_FILENO))
            return Fail(std::string("standard input: ") + std::strerror(errno));
        inputName = copy->path().str();
        standardInput = std::move(copy);
    }

    Input input;
    CDIB& dib = input.dib;
    std::string error;
    if (!ReadImage(inputName, input, &error)) return Fail(error);
    if (info) {
        PrintInfo(input);
        return line.Finish(0);
    }

    // A band is kept as rows of the image read, and written by the save;
    // a band of a band narrows it.
    std::int64_t first = 0, last = dib.GetHeight();
    for (const ImageOperation& op : operations) {
        if (op.name != "--band") {
            // Other operations work on the whole image: a band before them is
            // cut out first.
            if (first != 0 || last != dib.GetHeight()) {
                const int bits = dib.m_pBMI->biBitCount;
                if (!FitsTheGraphicsLayer(dib.GetWidth(), dib.GetHeight(), bits))
                    return Fail("--band: " +
                                TooLarge("the image", dib.GetWidth(), dib.GetHeight(), bits));
                dib.Crop(0, int(first), dib.GetWidth(), int(last));
                if (dib.GetHeight() != last - first) return Fail("--band: out of memory");
                first = 0;
                last = dib.GetHeight();
            }
            std::string failure;
            try {
                failure = Apply(op, dib);
            } catch (const CMemoryException&) {
                failure = op.name + " " + op.value + ": out of memory";
            }
            if (!failure.empty()) return Fail(failure);
            // An image of no pixels would make a BMP file no reader takes back.
            if (dib.GetWidth() <= 0 || dib.GetHeight() == 0)
                return Fail(op.name + " " + op.value + ": the result, " +
                            Size(dib.GetWidth(), dib.GetHeight()) + ", has no pixels");
            last = dib.GetHeight();
            continue;
        }
        const std::int64_t rows = last - first;
        if (op.n[1] > rows)
            return Fail(op.name + " " + op.value + ": the image has " + std::to_string(rows) +
                        " rows; need LAST <= " + std::to_string(rows));
        last = first + op.n[1];
        first += op.n[0];
    }

    const bool whole = first == 0 && last == dib.GetHeight();
    if (toOutput) {
        // The file is made whole in memory, then copied: a pipe takes no seek.
        MemoryFile bitmap("bitmap");
        errno = 0;
        if (!bitmap.ok() || !dib.Save(bitmap.path(), whole ? 0 : int(first), whole ? 0 : int(last)))
            return Fail(std::string("the image could not be written: ") +
                        std::strerror(errno ? errno : EIO));
        if (!bitmap.CopyTo(STDOUT_FILENO))
            return Fail(std::string("standard output: ") + std::strerror(errno ? errno : EIO));
        return line.Finish(0);
    }
    TemporaryFile::RemoveOnSignals();
    OutputFile output(CString(outputName.c_str()));
    if (!output.ok()) return Fail(outputName + ": " + std::strerror(errno));
    errno = 0;
    if (!dib.Save(output.path(), whole ? 0 : int(first), whole ? 0 : int(last)) || !output.Commit())
        return Fail(outputName +
                    ": the image could not be written: " + std::strerror(errno ? errno : EIO));
    return line.Finish(0);
}
