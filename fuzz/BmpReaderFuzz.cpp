// Fuzz target for BmpReader, the reader of every BMP form: each input is read
// from an in-memory file. It stops, besides the sanitizers' own checks, when
// - an image read is not held as the bitmap class holds images (a 40-byte
//   header, BI_RGB, bottom-up, at most 256 table entries, the pixels its
//   block can hold);
// - an image read does not write back as a BMP file that CDIB::ReadFromFile
//   reads into the same header, colour table and pixels;
// - an input that CDIB::ReadFromFile reads is refused, or read otherwise;
// - a global block outlives the images.
// Inputs whose header claims more than 2^22 pixels are skipped: a few bytes
// of RLE may claim 256 MiB, which would be spent clearing memory rather
// than in the parser.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is bmp_reader_fuzz; without it,
// bmp_reader_fuzz_replay replays files and folders through the same function.
#include "FuzzInput.h"

#include "dib/BmpReader.h"
#include "dib/Dib.h"
#include "fw/File.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kName = "bmp reader fuzz";

const fuzzinput::MemoryFile& Input() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("bmp-reader-input");
    return file;
}
const fuzzinput::MemoryFile& Output() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("bmp-reader-output");
    return file;
}

void Open(CFile& file, const std::string& path, UINT flags) {
    if (!file.Open(path.c_str(), flags)) fuzzinput::Fail(kName, "cannot open a memory file");
}

// The header, colour table and pixels of two images are the same.
bool Same(const CDIB& a, const CDIB& b) {
    const std::size_t front = 40 + 4 * std::size_t(a.GetNumColors());
    const std::size_t pixels = std::size_t(a.GetBytesPerLine()) * std::size_t(a.GetHeight());
    return a.GetHeight() == b.GetHeight() && std::memcmp(a.m_pBMI, b.m_pBMI, front) == 0 &&
           std::memcmp(a.m_pBits, b.m_pBits, pixels) == 0;
}

bool Huge(const std::uint8_t* data, std::size_t size) {
    if (size < 26) return false;
    auto u = [data](int at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | data[at + i];
        return v;
    };
    const bool core = u(14, 4) == 12;
    const std::int64_t width = core ? std::int64_t(u(18, 2)) : std::int32_t(u(18, 4));
    const std::int64_t height = core ? std::int64_t(u(20, 2)) : std::int32_t(u(22, 4));
    return std::abs(width) * std::abs(height) > (std::int64_t{1} << 22);
}

void Check(const CDIB& dib) {
    const BITMAPINFOHEADER& h = *dib.m_pBMI;
    if (h.biSize != 40 || h.biCompression != BI_RGB || h.biHeight <= 0 || h.biWidth <= 0 ||
        dib.GetNumColors() > 256 ||
        dib.GetPixelBytes() != std::size_t(dib.GetBytesPerLine()) * std::size_t(h.biHeight))
        fuzzinput::Fail(kName, "an image read is not held as the class holds images");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (Huge(data, size)) return 0;
    fuzzinput::Fill(Input(), data, size);
    const long blocks = GlobalLiveBlocks();
    {
        CDIB dib, classic;
        CFile in;
        Open(in, Input().path, CFile::modeRead);
        BmpReader reader(in);
        const bool read = reader.Read(dib).empty();
        (void)reader.form().Describe();
        in.Close();
        Open(in, Input().path, CFile::modeRead);
        if (classic.ReadFromFile(&in) && (!read || !Same(classic, dib)))
            fuzzinput::Fail(kName, "a file the class reads was read otherwise");
        if (read) {
            Check(dib);
            CFile out;
            Open(out, Output().path, CFile::modeCreate | CFile::modeReadWrite);
            if (ftruncate(Output().fd, 0) != 0) fuzzinput::Fail(kName, "ftruncate failed");
            if (!dib.WriteToFile(&out))
                fuzzinput::Fail(kName, "an image read could not be written");
            out.Close();
            CDIB again;
            Open(out, Output().path, CFile::modeRead);
            if (!again.ReadFromFile(&out) || !Same(dib, again))
                fuzzinput::Fail(kName, "the image changed on a round trip");
        }
    }
    if (GlobalLiveBlocks() != blocks) fuzzinput::Fail(kName, "a global block leaked");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "bmp_reader_fuzz_replay"
#include "FuzzReplay.h"
#endif
