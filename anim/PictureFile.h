// Which format a picture file is in, known by its first bytes alone, and the
// reader of the formats beside GIF.
#pragma once

#include "anim/AnimatedPicture.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

enum class PictureFormat { kUnknown, kGif, kWebp, kPng };

// The format whose signature `bytes` start with: "GIF87a" or "GIF89a"; a RIFF
// header of form "WEBP"; the eight bytes of the PNG signature. At least 12
// bytes are needed to know a WebP file.
PictureFormat SniffPictureFormat(const uint8_t* bytes, std::size_t size);

// A reader of the WebP or PNG (APNG) picture that `bytes` hold, which it
// keeps; null when they are neither, or when the picture's header cannot be
// read (no frame at all, a canvas of no pixels or above the limit).
std::unique_ptr<CAnimatedPicture> OpenPicture(std::vector<uint8_t> bytes);
