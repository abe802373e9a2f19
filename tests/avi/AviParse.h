// An independent reader of RIFF AVI files for tests: the chunk tree with
// offsets and sizes, the headers ('avih', 'strh', 'strf', 'dmlh'), the
// indexes ('idx1', 'indx', 'ix##') and the frame chunks of every 'movi' list
// in file order. It shares no code with the writer and checks the RIFF rules
// on its way: every chunk inside its parent, odd sizes followed by a zero pad
// byte, nothing after the last RIFF.
//
//   avitest::AviParse avi;
//   ASSERT_TRUE(avi.Load(path)) << avi.error;
//   EXPECT_EQ(avi.strh->length, 3u);
#pragma once

#include "../TestFiles.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace avitest {

constexpr std::uint32_t Fourcc(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) | std::uint32_t(std::uint8_t(s[1])) << 8 |
           std::uint32_t(std::uint8_t(s[2])) << 16 | std::uint32_t(std::uint8_t(s[3])) << 24;
}

inline std::string FourccText(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char(v >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

struct Chunk {
    std::uint32_t id = 0;     // 'RIFF', 'LIST', 'avih', '00dc', ...
    std::uint32_t type = 0;   // the form or list type of RIFF and LIST chunks, else 0
    std::uint64_t offset = 0; // of the chunk header
    std::uint32_t size = 0;   // the size field: data only, no header, no pad
    std::vector<Chunk> children;

    bool IsList() const { return id == Fourcc("RIFF") || id == Fourcc("LIST"); }
    std::uint64_t Data() const { return offset + 8; }
    std::uint64_t End() const { return offset + 8 + size + (size & 1); } // pad included
    // The first child chunk with this id, or the first LIST child of this type.
    const Chunk* Child(std::uint32_t idOrListType) const {
        for (const Chunk& c : children)
            if (c.id == idOrListType || (c.id == Fourcc("LIST") && c.type == idOrListType))
                return &c;
        return nullptr;
    }
};

struct MainHeader {
    std::uint32_t microSecPerFrame, maxBytesPerSec, paddingGranularity, flags, totalFrames,
        initialFrames, streams, suggestedBufferSize, width, height;
};

struct StreamHeader {
    std::uint32_t fccType, fccHandler, flags;
    std::uint16_t priority, language;
    std::uint32_t initialFrames, scale, rate, start, length, suggestedBufferSize, quality,
        sampleSize;
    std::int16_t frame[4]; // left, top, right, bottom
};

struct Idx1Entry {
    std::uint32_t id, flags, offset, size; // offset from the first 'movi' code
};

struct SuperIndexEntry {
    std::uint64_t offset; // of an 'ix##' chunk header
    std::uint32_t size;   // of that chunk
    std::uint32_t duration;
};

struct SuperIndex {
    std::uint16_t longsPerEntry;
    std::uint8_t subType, type;
    std::uint32_t entriesInUse, chunkId;
    std::uint32_t reservedEntries; // entries the chunk has room for
    std::vector<SuperIndexEntry> entries;
};

struct StdIndex {
    std::uint64_t offset; // of the 'ix##' chunk header
    std::uint32_t size;   // its size field
    std::uint16_t longsPerEntry;
    std::uint8_t subType, type;
    std::uint32_t entriesInUse, chunkId;
    std::uint64_t baseOffset;
    std::vector<std::uint64_t> dataOffsets; // base + entry offset: the frame data
    std::vector<std::uint32_t> sizes;       // top bit: not a key frame
};

struct Frame {
    std::uint32_t id;
    std::uint64_t offset; // of the chunk header
    std::uint32_t size;
    int part; // index of its RIFF
};

class AviParse {
public:
    std::string error; // the first problem met, empty when none
    std::vector<std::uint8_t> bytes;
    std::vector<Chunk> riffs; // top level: RIFF 'AVI ' then RIFF 'AVIX' parts

    std::optional<MainHeader> avih;
    std::optional<StreamHeader> strh; // of the first stream
    std::vector<std::uint8_t> strf;   // of the first stream
    std::optional<std::string> strn;
    std::optional<SuperIndex> indx;
    std::optional<std::uint32_t> dmlhFrames;
    std::optional<std::vector<Idx1Entry>> idx1;
    std::vector<StdIndex> ix;        // every 'ix##' of every part, in file order
    std::vector<Frame> frames;       // every '##db'/'##dc' chunk, in file order
    std::vector<std::uint64_t> movi; // offset of each part's LIST 'movi' header
    int junkChunks = 0;              // 'JUNK' chunks met anywhere

    bool Load(const std::string& path) {
        if (!std::filesystem::is_regular_file(path)) return Fail("cannot open " + path);
        bytes = testfiles::ReadBytes(path);
        return Parse();
    }

    bool Parse() {
        std::uint64_t at = 0;
        while (at < bytes.size()) {
            Chunk c;
            if (!ReadChunk(at, bytes.size(), c)) return false;
            if (c.id != Fourcc("RIFF"))
                return Fail("top-level chunk " + FourccText(c.id) + " at " + std::to_string(at));
            std::uint32_t expected = riffs.empty() ? Fourcc("AVI ") : Fourcc("AVIX");
            if (c.type != expected) return Fail("RIFF form " + FourccText(c.type));
            at = c.End();
            riffs.push_back(std::move(c));
        }
        if (riffs.empty()) return Fail("empty file");
        return Interpret();
    }

    std::uint16_t U16(std::uint64_t at) const {
        return std::uint16_t(bytes[at] | bytes[at + 1] << 8);
    }
    std::uint32_t U32(std::uint64_t at) const { return U16(at) | std::uint32_t(U16(at + 2)) << 16; }
    std::uint64_t U64(std::uint64_t at) const { return U32(at) | std::uint64_t(U32(at + 4)) << 32; }
    std::vector<std::uint8_t> Bytes(std::uint64_t at, std::uint64_t size) const {
        return {bytes.begin() + at, bytes.begin() + at + size};
    }
    std::vector<std::uint8_t> Data(const Frame& f) const { return Bytes(f.offset + 8, f.size); }

    // The first stream's format as a BITMAPINFOHEADER field: read at `at`.
    std::uint32_t StrfU32(std::size_t at) const {
        return strf.size() >= at + 4
                   ? std::uint32_t(strf[at] | strf[at + 1] << 8 | strf[at + 2] << 16 |
                                   std::uint32_t(strf[at + 3]) << 24)
                   : 0;
    }

private:
    bool Fail(const std::string& what) {
        if (error.empty()) error = what;
        return false;
    }

    bool ReadChunk(std::uint64_t at, std::uint64_t limit, Chunk& c) {
        if (at + 8 > limit) return Fail("chunk header past its parent at " + std::to_string(at));
        c.id = U32(at);
        c.size = U32(at + 4);
        c.offset = at;
        std::uint64_t end = at + 8 + c.size;
        if (end > limit)
            return Fail(FourccText(c.id) + " at " + std::to_string(at) + " runs past its parent");
        if (c.size & 1) {
            if (end + 1 > limit)
                return Fail(FourccText(c.id) + " at " + std::to_string(at) + " has no pad byte");
            if (bytes[end] != 0)
                return Fail(FourccText(c.id) + " at " + std::to_string(at) +
                            " has a non-zero pad byte");
        }
        if (c.id == Fourcc("JUNK")) ++junkChunks;
        if (!c.IsList()) return true;
        if (c.size < 4) return Fail("list without type at " + std::to_string(at));
        c.type = U32(at + 8);
        std::uint64_t child = at + 12;
        while (child < end) {
            Chunk sub;
            if (!ReadChunk(child, end, sub)) return false;
            child = sub.End();
            c.children.push_back(std::move(sub));
        }
        return true;
    }

    bool Interpret() {
        const Chunk& first = riffs[0];
        const Chunk* hdrl = first.Child(Fourcc("hdrl"));
        if (!hdrl) return Fail("no LIST 'hdrl'");
        const Chunk* h = hdrl->Child(Fourcc("avih"));
        if (!h || h->size < 56) return Fail("no 56-byte 'avih'");
        std::uint64_t a = h->Data();
        avih = MainHeader{U32(a),      U32(a + 4),  U32(a + 8),  U32(a + 12), U32(a + 16),
                          U32(a + 20), U32(a + 24), U32(a + 28), U32(a + 32), U32(a + 36)};
        if (const Chunk* strl = hdrl->Child(Fourcc("strl"))) {
            if (!ReadStreamList(*strl)) return false;
        }
        if (const Chunk* odml = hdrl->Child(Fourcc("odml"))) {
            const Chunk* dmlh = odml->Child(Fourcc("dmlh"));
            if (!dmlh || dmlh->size < 4) return Fail("LIST 'odml' without 'dmlh'");
            dmlhFrames = U32(dmlh->Data());
        }
        for (std::size_t part = 0; part < riffs.size(); ++part) {
            const Chunk* m = riffs[part].Child(Fourcc("movi"));
            if (!m) return Fail("RIFF part " + std::to_string(part) + " without LIST 'movi'");
            movi.push_back(m->offset);
            for (const Chunk& c : m->children) {
                std::string name = FourccText(c.id);
                if (name.compare(0, 2, "ix") == 0) {
                    if (!ReadStdIndex(c)) return false;
                } else if (name.compare(2, 2, "db") == 0 || name.compare(2, 2, "dc") == 0) {
                    frames.push_back({c.id, c.offset, c.size, int(part)});
                }
            }
        }
        if (const Chunk* i = first.Child(Fourcc("idx1"))) {
            if (i->size % 16) return Fail("'idx1' size not a multiple of 16");
            std::vector<Idx1Entry> entries;
            for (std::uint64_t e = i->Data(); e < i->Data() + i->size; e += 16)
                entries.push_back({U32(e), U32(e + 4), U32(e + 8), U32(e + 12)});
            idx1 = std::move(entries);
        }
        return true;
    }

    bool ReadStreamList(const Chunk& strl) {
        const Chunk* sh = strl.Child(Fourcc("strh"));
        if (!sh || sh->size < 56) return Fail("no 56-byte 'strh'");
        std::uint64_t s = sh->Data();
        StreamHeader r{};
        r.fccType = U32(s);
        r.fccHandler = U32(s + 4);
        r.flags = U32(s + 8);
        r.priority = U16(s + 12);
        r.language = U16(s + 14);
        r.initialFrames = U32(s + 16);
        r.scale = U32(s + 20);
        r.rate = U32(s + 24);
        r.start = U32(s + 28);
        r.length = U32(s + 32);
        r.suggestedBufferSize = U32(s + 36);
        r.quality = U32(s + 40);
        r.sampleSize = U32(s + 44);
        for (int i = 0; i < 4; ++i) r.frame[i] = std::int16_t(U16(s + 48 + 2 * i));
        strh = r;
        const Chunk* sf = strl.Child(Fourcc("strf"));
        if (!sf) return Fail("no 'strf'");
        strf = Bytes(sf->Data(), sf->size);
        if (const Chunk* sn = strl.Child(Fourcc("strn"))) {
            std::vector<std::uint8_t> name = Bytes(sn->Data(), sn->size);
            strn = std::string(name.begin(), name.end());
        }
        if (const Chunk* ix = strl.Child(Fourcc("indx"))) {
            if (ix->size < 24) return Fail("short 'indx'");
            std::uint64_t d = ix->Data();
            SuperIndex si{U16(d),     bytes[d + 2], bytes[d + 3],
                          U32(d + 4), U32(d + 8),   std::uint32_t((ix->size - 24) / 16),
                          {}};
            if (si.entriesInUse > si.reservedEntries) return Fail("'indx' entries past its size");
            for (std::uint32_t e = 0; e < si.entriesInUse; ++e) {
                std::uint64_t at = d + 24 + 16 * e;
                si.entries.push_back({U64(at), U32(at + 8), U32(at + 12)});
            }
            indx = std::move(si);
        }
        return true;
    }

    bool ReadStdIndex(const Chunk& c) {
        if (c.size < 24) return Fail("short " + FourccText(c.id));
        std::uint64_t d = c.Data();
        StdIndex si{c.offset,   c.size,     U16(d),      bytes[d + 2], bytes[d + 3],
                    U32(d + 4), U32(d + 8), U64(d + 12), {},           {}};
        if (24 + std::uint64_t(si.entriesInUse) * 8 > c.size)
            return Fail(FourccText(c.id) + " entries past its size");
        for (std::uint32_t e = 0; e < si.entriesInUse; ++e) {
            std::uint64_t at = d + 24 + 8 * e;
            si.dataOffsets.push_back(si.baseOffset + U32(at));
            si.sizes.push_back(U32(at + 4));
        }
        ix.push_back(std::move(si));
        return true;
    }
};

} // namespace avitest
