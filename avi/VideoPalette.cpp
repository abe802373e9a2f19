#include "avi/VideoPalette.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A colour's red, green or blue level (component 0, 1 or 2 of 0x00BBGGRR).
int Level(COLORREF colour, int component) {
    return static_cast<int>((colour >> (8 * component)) & 0xFF);
}

// A box of colours in RGB space: [begin, end) of the colour list.
struct Box {
    std::size_t begin, end;
    int axis;             // the component with the widest range
    int range;            // that range
    std::size_t sort = 0; // its sort's number in BoxSorts
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

// A box's colours sorted by its widest component (std::sort: the order of
// equal levels, and so which of them fall on each side of the median, is
// that sort's).
void SortBox(std::vector<COLORREF>& colours, const Box& box) {
    const int axis = box.axis;
    std::sort(colours.begin() + static_cast<long>(box.begin),
              colours.begin() + static_cast<long>(box.end),
              [axis](COLORREF a, COLORREF b) { return Level(a, axis) < Level(b, axis); });
}

// The sorts of a median cut, each made on a second thread as soon as its box
// is made, ahead of the box's turn to be split, the widest box first. Nothing
// else touches a box's colours between its making and its split, so a sort
// made early is the very sort its turn would make; a box that is never split
// (the last 256) is sorted for nothing, and its mean is the same. Without a
// thread to be had, each box is sorted on its turn.
class BoxSorts {
public:
    explicit BoxSorts(std::vector<COLORREF>& colours) : m_colours(colours) {
        try {
            m_worker = std::thread([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }
    ~BoxSorts() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopping = true;
        }
        m_changed.notify_all();
        if (m_worker.joinable()) m_worker.join();
    }
    BoxSorts(const BoxSorts&) = delete;
    BoxSorts& operator=(const BoxSorts&) = delete;

    // A box made: its sort may start. Returns its number.
    std::size_t Add(const Box& box) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back(box);
        m_states.push_back(kWaiting);
        m_changed.notify_all();
        return m_boxes.size() - 1;
    }
    // Sorts box `sort` here unless it is sorted or being sorted, then waits
    // for it.
    void Sort(std::size_t sort) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_states[sort] == kWaiting) SortUnlocked(lock, sort);
        m_changed.wait(lock, [&] { return m_states[sort] == kSorted; });
    }

private:
    enum State { kWaiting, kSorting, kSorted };
    // Sorts a waiting box with `lock` released meanwhile.
    void SortUnlocked(std::unique_lock<std::mutex>& lock, std::size_t sort) {
        m_states[sort] = kSorting;
        const Box box = m_boxes[sort];
        lock.unlock();
        SortBox(m_colours, box);
        lock.lock();
        m_states[sort] = kSorted;
        m_changed.notify_all();
    }
    void Work() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            std::size_t widest = m_boxes.size();
            for (std::size_t i = 0; i < m_boxes.size(); ++i)
                if (m_states[i] == kWaiting &&
                    (widest == m_boxes.size() || m_boxes[i].range > m_boxes[widest].range))
                    widest = i;
            if (m_bStopping) return;
            if (widest == m_boxes.size()) {
                m_changed.wait(lock);
                continue;
            }
            SortUnlocked(lock, widest);
        }
    }

    std::vector<COLORREF>& m_colours;
    std::vector<Box> m_boxes;
    std::vector<State> m_states;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bStopping = false;
    std::thread m_worker; // last: it stops before the rest goes
};

// Median cut: split the box with the widest range at the median of its widest
// component until there are `count` boxes or nothing left to split; each box
// becomes its mean. Works in place on the colours, 4 bytes each.
std::vector<COLORREF> MedianCut(std::vector<COLORREF> colours, std::size_t count) {
    std::vector<Box> boxes;
    {
        BoxSorts sorts(colours);
        const auto add = [&](Box box) {
            if (box.range > 0) box.sort = sorts.Add(box);
            return box;
        };
        boxes.push_back(add(Measure(colours, 0, colours.size())));
        while (boxes.size() < count) {
            auto widest =
                std::max_element(boxes.begin(), boxes.end(),
                                 [](const Box& a, const Box& b) { return a.range < b.range; });
            if (widest->range == 0) break;
            const Box box = *widest;
            sorts.Sort(box.sort);
            std::size_t middle = box.begin + (box.end - box.begin) / 2;
            *widest = add(Measure(colours, box.begin, middle));
            boxes.push_back(add(Measure(colours, middle, box.end)));
        }
    } // no sort runs past here
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
    // A picture's colours come counted, in order and each once already.
    if (!std::is_sorted(colours.begin(), colours.end())) std::sort(colours.begin(), colours.end());
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
