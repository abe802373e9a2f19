#include "GifReference.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace gifref {

namespace {

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

std::vector<std::uint32_t> MapToRgb(const SavedImage& saved, const ColorMapObject* map) {
    const GifImageDesc& desc = saved.ImageDesc;
    std::size_t count =
        static_cast<std::size_t>(desc.Width) * static_cast<std::size_t>(desc.Height);
    std::vector<std::uint32_t> rgb(count, 0);
    const int colors = map ? map->ColorCount : 0;
    for (std::size_t i = 0; i < count; ++i) {
        int index = saved.RasterBits[i];
        if (index >= colors) continue; // not in the table: black
        const GifColorType& c = map->Colors[index];
        rgb[i] = (static_cast<std::uint32_t>(c.Red) << 16) | (c.Green << 8) | c.Blue;
    }
    return rgb;
}

// giflib keeps each extension as a list of blocks: the first carries the
// label, the ones after it CONTINUE_EXT_FUNC_CODE. An extension without data
// sub-blocks is not kept at all.
void CollectExtensions(const ExtensionBlock* blocks, int count, int imagesBefore,
                       std::vector<Extension>& out) {
    for (int i = 0; i < count; ++i) {
        if (blocks[i].Function == CONTINUE_EXT_FUNC_CODE && !out.empty() &&
            out.back().imagesBefore == imagesBefore) {
            ++out.back().blocks;
            continue;
        }
        out.push_back({blocks[i].Function, blocks[i].ByteCount, 1, imagesBefore});
    }
}

} // namespace

Gif DecodeWithGiflib(const std::string& path) {
    Gif result;
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpenFileName(path.c_str(), &error));
    if (!gif) {
        result.error = error;
        return result;
    }
    result.screenWidth = gif->SWidth;
    result.screenHeight = gif->SHeight;
    result.ok = DGifSlurp(gif.get()) == GIF_OK;
    result.error = result.ok ? 0 : gif->Error;
    // After a failure the last image giflib began may be incomplete; every
    // image before it was read whole.
    const int complete = result.ok ? gif->ImageCount : std::max(gif->ImageCount - 1, 0);
    for (int i = 0; i < complete; ++i) {
        const SavedImage& saved = gif->SavedImages[i];
        const GifImageDesc& desc = saved.ImageDesc;
        CollectExtensions(saved.ExtensionBlocks, saved.ExtensionBlockCount, i, result.extensions);
        Image image;
        image.left = desc.Left;
        image.top = desc.Top;
        image.width = desc.Width;
        image.height = desc.Height;
        image.interlaced = desc.Interlace;
        image.localTable = desc.ColorMap != nullptr;
        image.rgb = MapToRgb(saved, desc.ColorMap ? desc.ColorMap : gif->SColorMap);
        result.images.push_back(std::move(image));
    }
    // Extensions not yet given to an image: after the last one, or ahead of
    // the image that failed.
    CollectExtensions(gif->ExtensionBlocks, gif->ExtensionBlockCount, complete, result.extensions);
    return result;
}

namespace {} // namespace

Comparable ComparableImages(const Gif& gif) {
    Comparable result{gif.images.size(), true, {}};
    for (const Extension& ext : gif.extensions) {
        const auto before = static_cast<std::size_t>(ext.imagesBefore);
        if (ext.label == 0xFE || before >= result.images) continue;
        const std::string where = " before image " + std::to_string(before);
        if (ext.label == 0xF9 || ext.label == 0x01 || ext.label == 0xFF) {
            const int standard = ext.label == 0xF9 ? 4 : ext.label == 0x01 ? 12 : 11;
            if (ext.firstBlockSize == standard && (ext.label != 0xF9 || ext.blocks == 1)) continue;
            result = {before, false,
                      "extension " + std::to_string(ext.label) + " of " +
                          std::to_string(ext.blocks) + " sub-blocks, the first of " +
                          std::to_string(ext.firstBlockSize) + " bytes," + where};
        } else {
            result = {before, true, "unknown extension label " + std::to_string(ext.label) + where};
        }
        break;
    }
    return result;
}

std::string GiflibErrorText(int error) {
    const char* text = GifErrorString(error);
    return std::to_string(error) + " (" + (text ? text : "unknown") + ")";
}

std::string DescribeDifference(const std::vector<std::uint32_t>& expected,
                               const std::vector<std::uint32_t>& actual, int width) {
    if (expected.size() != actual.size())
        return "pixel counts differ: expected " + std::to_string(expected.size()) + ", got " +
               std::to_string(actual.size());
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == actual[i]) continue;
        if (differing++ == 0) first = i;
    }
    if (differing == 0) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "%zu of %zu pixels differ; first at (%zu, %zu): expected #%06X, got #%06X",
                  differing, expected.size(), width > 0 ? first % width : 0,
                  width > 0 ? first / width : 0, expected[first], actual[first]);
    return text;
}

} // namespace gifref
