#include "avi/VideoPalette.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// A colour's red, green or blue level (component 0, 1 or 2 of 0x00BBGGRR).
int Level(COLORREF colour, int component) {
    return static_cast<int>((colour >> (8 * component)) & 0xFF);
}

// A box of colours in RGB space: [begin, end) of the colour list.
struct Box {
    std::size_t begin, end;
    int axis;  // the component with the widest range
    int range; // that range
};

Box Measure(const std::vector<COLORREF>& colours, std::size_t begin, std::size_t end) {
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (std::size_t i = begin; i < end; ++i)
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], Level(colours[i], c));
            hi[c] = std::max(hi[c], Level(colours[i], c));
        }
    Box box{begin, end, 0, hi[0] - lo[0]};
    for (int c = 1; c < 3; ++c)
        if (hi[c] - lo[c] > box.range) box.axis = c, box.range = hi[c] - lo[c];
    return box;
}

// Median cut: split the box with the widest range at the median of its widest
// component until there are `count` boxes or nothing left to split; each box
// becomes its mean. Works in place on the colours, 4 bytes each.
std::vector<COLORREF> MedianCut(std::vector<COLORREF> colours, std::size_t count) {
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
                  [axis](COLORREF a, COLORREF b) { return Level(a, axis) < Level(b, axis); });
        std::size_t middle = box.begin + (box.end - box.begin) / 2;
        *widest = Measure(colours, box.begin, middle);
        boxes.push_back(Measure(colours, middle, box.end));
    }
    std::vector<COLORREF> means;
    for (const Box& box : boxes) {
        long long sum[3] = {0, 0, 0};
        for (std::size_t i = box.begin; i < box.end; ++i)
            for (int c = 0; c < 3; ++c) sum[c] += Level(colours[i], c);
        const long long n = static_cast<long long>(box.end - box.begin);
        auto mean = [&](int c) { return static_cast<BYTE>((sum[c] + n / 2) / n); };
        means.push_back(RGB(mean(0), mean(1), mean(2)));
    }
    return means;
}

} // namespace

HPALETTE CreateVideoPalette(std::vector<COLORREF> colours) {
    for (COLORREF& c : colours) c &= 0xFFFFFF;
    std::sort(colours.begin(), colours.end());
    colours.erase(std::unique(colours.begin(), colours.end()), colours.end());
    if (colours.empty()) return nullptr;
    const std::vector<COLORREF> entries =
        colours.size() <= 256 ? std::move(colours) : MedianCut(std::move(colours), 256);

    std::vector<BYTE> block(4 + 4 * entries.size());
    auto* log = reinterpret_cast<LOGPALETTE*>(block.data());
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(entries.size());
    auto* out = reinterpret_cast<PALETTEENTRY*>(block.data() + 4);
    for (std::size_t i = 0; i < entries.size(); ++i)
        out[i] = {GetRValue(entries[i]), GetGValue(entries[i]), GetBValue(entries[i]), 0};
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
