#include "anim/PictureFile.h"

#include "anim/ApngPicture.h"
#include "anim/WebpPicture.h"

#include <cstring>

PictureFormat SniffPictureFormat(const uint8_t* bytes, std::size_t size) {
    static constexpr uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 6 && (std::memcmp(bytes, "GIF87a", 6) == 0 || std::memcmp(bytes, "GIF89a", 6) == 0))
        return PictureFormat::kGif;
    if (size >= 12 && std::memcmp(bytes, "RIFF", 4) == 0 && std::memcmp(bytes + 8, "WEBP", 4) == 0)
        return PictureFormat::kWebp;
    if (size >= 8 && std::memcmp(bytes, kPng, 8) == 0) return PictureFormat::kPng;
    return PictureFormat::kUnknown;
}

std::unique_ptr<CAnimatedPicture> OpenPicture(std::vector<uint8_t> bytes) {
    switch (SniffPictureFormat(bytes.data(), bytes.size())) {
    case PictureFormat::kWebp:
        return CWebpPicture::Open(std::move(bytes));
    case PictureFormat::kPng:
        return CApngPicture::Open(std::move(bytes));
    default:
        return nullptr;
    }
}
