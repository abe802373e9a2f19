#include "avi/VideoPalette.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

using Colour = std::array<int, 3>; // red, green, blue

// A box of colours in RGB space: [begin, end) of the colour list.
struct Box {
    std::size_t begin, end;
    int axis;  // the component with the widest range
    int range; // that range
};

Box Measure(const std::vector<Colour>& colours, std::size_t begin, std::size_t end) {
    Colour lo{255, 255, 255}, hi{0, 0, 0};
    for (std::size_t i = begin; i < end; ++i)
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], colours[i][c]);
            hi[c] = std::max(hi[c], colours[i][c]);
        }
    Box box{begin, end, 0, hi[0] - lo[0]};
    for (int c = 1; c < 3; ++c)
        if (hi[c] - lo[c] > box.range) box.axis = c, box.range = hi[c] - lo[c];
    return box;
}

// Median cut: split the box with the widest range at the median of its widest
// component until there are `count` boxes or nothing left to split.
std::vector<Colour> MedianCut(std::vector<Colour> colours, std::size_t count) {
    std::vector<Box> boxes{Measure(colours, 0, colours.size())};
    while (boxes.size() < count) {
        auto widest = std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) {
            return a.range < b.range;
        });
        if (widest->range == 0) break;
        Box box = *widest;
        const int axis = box.axis;
        auto first = colours.begin() + static_cast<long>(box.begin);
        auto last = colours.begin() + static_cast<long>(box.end);
        std::sort(first, last,
                  [axis](const Colour& a, const Colour& b) { return a[axis] < b[axis]; });
        std::size_t middle = box.begin + (box.end - box.begin) / 2;
        *widest = Measure(colours, box.begin, middle);
        boxes.push_back(Measure(colours, middle, box.end));
    }
    std::vector<Colour> means;
    for (const Box& box : boxes) {
        long long sum[3] = {0, 0, 0};
        for (std::size_t i = box.begin; i < box.end; ++i)
            for (int c = 0; c < 3; ++c) sum[c] += colours[i][c];
        const long long n = static_cast<long long>(box.end - box.begin);
        means.push_back({static_cast<int>((sum[0] + n / 2) / n),
                         static_cast<int>((sum[1] + n / 2) / n),
                         static_cast<int>((sum[2] + n / 2) / n)});
    }
    return means;
}

} // namespace

HPALETTE CreateVideoPalette(const std::vector<COLORREF>& colours) {
    std::vector<COLORREF> distinct;
    distinct.reserve(colours.size());
    for (COLORREF c : colours) distinct.push_back(c & 0xFFFFFF);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.empty()) return nullptr;

    std::vector<Colour> entries;
    if (distinct.size() <= 256) {
        for (COLORREF c : distinct) entries.push_back({GetRValue(c), GetGValue(c), GetBValue(c)});
        if (distinct.size() < 256 && distinct.front() != 0) entries.push_back({0, 0, 0});
    } else {
        std::vector<Colour> all;
        all.reserve(distinct.size());
        for (COLORREF c : distinct) all.push_back({GetRValue(c), GetGValue(c), GetBValue(c)});
        entries = MedianCut(std::move(all), 256);
    }

    std::vector<BYTE> block(4 + 4 * entries.size());
    auto* log = reinterpret_cast<LOGPALETTE*>(block.data());
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(entries.size());
    auto* out = reinterpret_cast<PALETTEENTRY*>(block.data() + 4);
    for (std::size_t i = 0; i < entries.size(); ++i)
        out[i] = {static_cast<BYTE>(entries[i][0]), static_cast<BYTE>(entries[i][1]),
                  static_cast<BYTE>(entries[i][2]), 0};
    return CreatePalette(log);
}

BOOL CVideoPalette::Realize(HDC dc) {
    if (!m_hPalette || !SelectPalette(dc, m_hPalette, FALSE)) return FALSE;
    m_hDC = dc;
    return RealizePalette(dc) != GDI_ERROR;
}

CVideoPalette::~CVideoPalette() {
    if (m_hDC) {
        SelectPalette(m_hDC, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), FALSE);
        RealizePalette(m_hDC);
    }
    if (m_hPalette) DeleteObject(m_hPalette);
}
