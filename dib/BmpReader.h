// BmpReader: the BMP files that writers make today, read into the packed DIB
// that CDIB holds. CDIB::ReadFromFile takes the two classic forms (a 40-byte
// or 12-byte header, uncompressed); this reader takes those through it, and
// besides them:
//
// - the OS/2 2.x headers (16 and 64 bytes) and the longer Windows ones (52,
//   56, 108 and 124 bytes), whose colour-space, gamma, intent and profile
//   fields are read past (colour profiles are not applied);
// - bit fields (BI_BITFIELDS, BI_ALPHABITFIELDS) at 16, 24 and 32 bits, the
//   masks in the header or, after a 40-byte header, in the 12 or 16 bytes
//   that follow it: held as 24-bit pixels, or 32-bit ones (blue, green, red,
//   alpha) when there is an alpha mask, each channel scaled to 8 bits and
//   rounded;
// - BI_RLE8 and BI_RLE4, held as 8 and 4 bits;
// - 2-bit images, held as 4 bits with the same colour table.
//
// Images are held bottom-up with a 40-byte header and no compression. The
// forms left out (embedded JPEG or PNG, OS/2 Huffman 1D and RLE24, 64-bit
// pixels, colour tables of more than 256 entries) are refused by name.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>
#include <string>

class CDIB;
class CFile;

// What a BMP file's headers say of it.
struct BmpForm {
    DWORD headerSize = 0;  // the info header's own size
    DWORD compression = 0; // as stored (OS/2 2.x codes above BI_RLE4 differ)
    int bits = 0;          // bits per pixel in the file
    int heldBits = 0;      // bits per pixel as held; 0 until known
    // Red, green, blue and alpha masks of the bit-field compressions.
    std::uint32_t masks[4] = {};
    bool topDown = false;

    // "header 124 bytes, 16-bit BI_BITFIELDS 5-6-5, held as 24 bits"
    std::string Describe() const;
};

class BmpReader {
public:
    explicit BmpReader(CFile& file) : m_file(file) {}

    // Reads the BMP file that starts at the file's position (where its "BM"
    // stands) into `dib`, which is left unchanged unless it is read. An
    // empty string when the image was read; otherwise why not, a text that
    // follows the file's name in a message ("BMP files with embedded JPEG
    // images (BI_JPEG) are not supported"). File errors other than a short
    // file throw CFileException.
    std::string Read(CDIB& dib);

    // The form, as far as the headers were read.
    const BmpForm& form() const { return m_form; }

private:
    struct Headers;
    // Reads the headers and masks, and fills in the form; why the file
    // cannot be read, or nothing.
    std::string ReadHeaders(Headers& headers);

    CFile& m_file;
    BmpForm m_form;
};
