// Builds GIF files byte by byte for tests, so every case spells out the
// blocks it is made of. Codes are packed least significant bit first, the way
// GIF image data stores them, and cut into data sub-blocks of a chosen size.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace gifbuild {

using Bytes = std::vector<std::uint8_t>;

struct Code {
    unsigned value;
    unsigned width;
};

// Packs codes LSB first; the last byte is padded with zero bits.
inline Bytes PackCodes(const std::vector<Code>& codes) {
    Bytes out;
    std::uint32_t acc = 0;
    unsigned bits = 0;
    for (const Code& c : codes) {
        acc |= (c.value & ((1u << c.width) - 1)) << bits;
        bits += c.width;
        while (bits >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc));
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits) out.push_back(static_cast<std::uint8_t>(acc));
    return out;
}

// Cuts data into sub-blocks of at most `chunk` bytes and adds the zero
// terminator.
inline Bytes SubBlocks(const Bytes& data, std::size_t chunk = 255, bool terminate = true) {
    Bytes out;
    for (std::size_t at = 0; at < data.size(); at += chunk) {
        std::size_t n = std::min(chunk, data.size() - at);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(at + n));
    }
    if (terminate) out.push_back(0);
    return out;
}

// Root codes only, with a clear code whenever the table would make the codes
// one bit wider: every pixel is its own code and the width stays
// minCodeSize + 1. The simplest valid encoding of any picture.
inline Bytes EncodeFlat(const std::vector<std::uint8_t>& pixels, unsigned minCodeSize) {
    const unsigned clear = 1u << minCodeSize, width = minCodeSize + 1;
    std::vector<Code> codes{{clear, width}};
    // After a clear the first code adds no entry; each later one adds one.
    // Clear before the next free code reaches 2^width.
    unsigned nextFree = clear + 2;
    bool first = true;
    for (std::uint8_t p : pixels) {
        if (!first && nextFree + 1 == (1u << width)) {
            codes.push_back({clear, width});
            nextFree = clear + 2;
            first = true;
        }
        codes.push_back({p, width});
        if (!first) ++nextFree;
        first = false;
    }
    codes.push_back({clear + 1, width});
    return PackCodes(codes);
}

class Gif {
public:
    // Header and logical screen descriptor; a global colour table of `colors`
    // entries (a power of two, 2 to 256) when colors > 0.
    Gif(int screenWidth, int screenHeight, const Bytes& globalTable = {}, int background = 0,
        const char* version = "89a") {
        for (char c : {'G', 'I', 'F'}) bytes.push_back(static_cast<std::uint8_t>(c));
        for (int i = 0; i < 3; ++i) bytes.push_back(static_cast<std::uint8_t>(version[i]));
        Word(screenWidth);
        Word(screenHeight);
        bytes.push_back(
            globalTable.empty() ? 0 : static_cast<std::uint8_t>(0x80 | SizeBits(globalTable)));
        bytes.push_back(static_cast<std::uint8_t>(background));
        bytes.push_back(0); // pixel aspect ratio
        Append(globalTable);
    }

    // Graphic control extension: packed byte, delay, transparent index.
    Gif& Gce(int packed, int delay, int transparentIndex) {
        Append({0x21, 0xF9, 4, static_cast<std::uint8_t>(packed)});
        Word(delay);
        Append({static_cast<std::uint8_t>(transparentIndex), 0});
        return *this;
    }

    Gif& Comment(const std::string& text) {
        Append({0x21, 0xFE});
        Append(SubBlocks(Bytes(text.begin(), text.end())));
        return *this;
    }

    Gif& PlainText(const std::string& text) {
        Append({0x21, 0x01, 12});
        Append(Bytes(12, 0)); // grid position, size, cell size, colours
        Append(SubBlocks(Bytes(text.begin(), text.end())));
        return *this;
    }

    Gif& Application(const std::string& id11, const Bytes& data) {
        Append({0x21, 0xFF, 11});
        Append(Bytes(id11.begin(), id11.end()));
        Append(SubBlocks(data));
        return *this;
    }

    // Image descriptor, optional local colour table, minimum code size and
    // the image data exactly as given (already cut into sub-blocks).
    Gif& Image(int left, int top, int width, int height, bool interlaced, const Bytes& localTable,
               unsigned minCodeSize, const Bytes& subBlocks) {
        Descriptor(left, top, width, height, interlaced, localTable);
        bytes.push_back(static_cast<std::uint8_t>(minCodeSize));
        Append(subBlocks);
        return *this;
    }

    // An image of index pixels in the flat encoding.
    Gif& FlatImage(int left, int top, int width, int height,
                   const std::vector<std::uint8_t>& pixels, bool interlaced = false,
                   const Bytes& localTable = {}, unsigned minCodeSize = 8) {
        return Image(left, top, width, height, interlaced, localTable, minCodeSize,
                     SubBlocks(EncodeFlat(pixels, minCodeSize)));
    }

    Gif& Descriptor(int left, int top, int width, int height, bool interlaced,
                    const Bytes& localTable = {}) {
        bytes.push_back(0x2C);
        Word(left);
        Word(top);
        Word(width);
        Word(height);
        std::uint8_t flags = interlaced ? 0x40 : 0;
        if (!localTable.empty()) flags |= static_cast<std::uint8_t>(0x80 | SizeBits(localTable));
        bytes.push_back(flags);
        Append(localTable);
        return *this;
    }

    Gif& Trailer() {
        bytes.push_back(0x3B);
        return *this;
    }

    Gif& Append(std::initializer_list<std::uint8_t> more) {
        bytes.insert(bytes.end(), more);
        return *this;
    }
    Gif& Append(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }

    void Word(int v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }

    Bytes bytes;

private:
    // Table of 3 * 2^(N+1) bytes: N for the packed byte.
    static int SizeBits(const Bytes& table) {
        int n = 0;
        while ((6 << n) < static_cast<int>(table.size())) ++n;
        return n;
    }
};

// A colour table of n entries in which every entry is a different colour, so
// a decoded colour names its index: entry i is (i, 255 - i, i ^ 0x5A).
inline Bytes DistinctTable(int n) {
    Bytes t;
    for (int i = 0; i < n; ++i) {
        t.push_back(static_cast<std::uint8_t>(i));
        t.push_back(static_cast<std::uint8_t>(255 - i));
        t.push_back(static_cast<std::uint8_t>(i ^ 0x5A));
    }
    return t;
}

} // namespace gifbuild
