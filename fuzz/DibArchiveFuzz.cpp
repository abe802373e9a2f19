// Fuzz target for loading a serialised CDIB: every input is read through a
// loading CArchive as an object reference, the way an object is loaded by its
// class name. Malformed data may only raise the framework's archive, file or
// memory exceptions. An object that loads must store and load again into the
// same image. Besides the sanitizers' own checks it stops on any other
// exception, on a loaded object of another class, on a round trip that fails
// or differs, and on a global block that outlives the objects.
//
// Built with libFuzzer (TESSALY_FUZZ=ON) this is dib_archive_fuzz; without
// it, dib_archive_fuzz_replay replays files and folders.
#include "FuzzInput.h"

#include "dib/Dib.h"
#include "fw/Archive.h"

#include <cstring>
#include <memory>

namespace {

constexpr const char* kName = "dib archive fuzz";

const fuzzinput::MemoryFile& Input() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("dib-archive-input");
    return file;
}
const fuzzinput::MemoryFile& Output() {
    static const fuzzinput::MemoryFile file = fuzzinput::MakeMemoryFile("dib-archive-output");
    return file;
}

// The object a file holds, or null when it is refused as the framework
// refuses malformed archives.
std::unique_ptr<CDIB> Load(const std::string& path) {
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeRead)) fuzzinput::Fail(kName, "cannot open");
    CArchive ar(&file, CArchive::load);
    try {
        std::unique_ptr<CObject> object(ar.ReadObject(RUNTIME_CLASS(CDIB)));
        if (object && !object->IsKindOf(RUNTIME_CLASS(CDIB)))
            fuzzinput::Fail(kName, "an object of another class was loaded");
        return std::unique_ptr<CDIB>(static_cast<CDIB*>(object.release()));
    } catch (const CArchiveException&) {
    } catch (const CFileException&) {
    } catch (const CMemoryException&) {
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzinput::Fill(Input(), data, size);
    const long blocks = GlobalLiveBlocks();
    {
        std::unique_ptr<CDIB> dib = Load(Input().path);
        if (dib && dib->IsValid()) {
            {
                if (ftruncate(Output().fd, 0) != 0) fuzzinput::Fail(kName, "ftruncate failed");
                CFile out;
                if (!out.Open(Output().path.c_str(), CFile::modeReadWrite))
                    fuzzinput::Fail(kName, "cannot open the output");
                CArchive ar(&out, CArchive::store);
                ar << static_cast<const CObject*>(dib.get());
            }
            std::unique_ptr<CDIB> again = Load(Output().path);
            if (!again || !again->IsValid()) fuzzinput::Fail(kName, "a stored object was refused");
            // Bytes past the rows the header describes are not written back.
            const std::size_t front = 40 + 4 * std::size_t(dib->GetNumColors());
            const std::size_t pixels =
                std::size_t(dib->GetBytesPerLine()) * std::size_t(dib->GetHeight());
            if (again->GetHeight() != dib->GetHeight() || again->m_nXDpi != dib->m_nXDpi ||
                std::memcmp(again->m_pBMI, dib->m_pBMI, front) != 0 ||
                std::memcmp(again->m_pBits, dib->m_pBits, pixels) != 0)
                fuzzinput::Fail(kName, "the object changed on a round trip");
        }
    }
    if (GlobalLiveBlocks() != blocks) fuzzinput::Fail(kName, "a global block leaked");
    return 0;
}

#ifndef TESSALY_LIBFUZZER
#define FUZZ_REPLAY_NAME "dib_archive_fuzz_replay"
#include "FuzzReplay.h"
#endif
