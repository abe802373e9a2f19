// Fuzz target for CDIB's BMP reader: every input is read as a BMP file from
// an in-memory file. An image that is accepted must write back as a BMP file
// that reads again into the same header, colour table and pixels. Besides the
// sanitizers' own checks it stops when the round trip fails or differs, when
// a reader throws anything but a file exception, and when a global block
// outlives the images.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is bmp_fuzz; without it,
// bmp_fuzz_replay replays files and folders through the same function.
#include "FuzzInput.h"

#include "dib/Dib.h"
#include "fw/File.h"

#include <cstring>

namespace {

constexpr const char* kName = "bmp fuzz";

const fuzzinput::MemoryFile& Input() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("bmp-fuzz-input");
    return file;
}
const fuzzinput::MemoryFile& Output() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("bmp-fuzz-output");
    return file;
}

bool Read(CDIB& dib, const std::string& path) {
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeRead)) fuzzinput::Fail(kName, "cannot open the input");
    return dib.ReadFromFile(&file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzinput::Fill(Input(), data, size);
    const long blocks = GlobalLiveBlocks();
    {
        CDIB dib;
        if (Read(dib, Input().path)) {
            CFile out;
            if (!out.Open(Output().path.c_str(), CFile::modeCreate | CFile::modeReadWrite))
                fuzzinput::Fail(kName, "cannot open the output");
            if (ftruncate(Output().fd, 0) != 0) fuzzinput::Fail(kName, "ftruncate failed");
            if (!dib.WriteToFile(&out))
                fuzzinput::Fail(kName, "an image read could not be written");
            CDIB again;
            if (!Read(again, Output().path)) fuzzinput::Fail(kName, "a written image was refused");
            // Bytes past the rows the header describes are not written back.
            const std::size_t front = 40 + 4 * std::size_t(dib.GetNumColors());
            const std::size_t pixels =
                std::size_t(dib.GetBytesPerLine()) * std::size_t(dib.GetHeight());
            if (again.GetHeight() != dib.GetHeight() ||
                std::memcmp(again.m_pBMI, dib.m_pBMI, front) != 0 ||
                std::memcmp(again.m_pBits, dib.m_pBits, pixels) != 0)
                fuzzinput::Fail(kName, "the image changed on a round trip");
        }
    }
    if (GlobalLiveBlocks() != blocks) fuzzinput::Fail(kName, "a global block leaked");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "bmp_fuzz_replay"
#include "FuzzReplay.h"
#endif
