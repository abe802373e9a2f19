#include "app/GifPreview.h"

#include "gfx/Gdi.h"

#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QVBoxLayout>

#include <utility>

namespace {

// A frame of 0x00RRGGBB pixels, shrunk (smoothly) or enlarged (pixel by
// pixel, as small GIFs are drawn) to fit a `box` x `box` * 3 / 4 square.
QImage Thumbnail(const std::vector<DWORD>& pixels, int width, int height, int box) {
    if (pixels.empty() || width <= 0 || height <= 0 || box <= 0) return {};
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        const DWORD* from = pixels.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) row[x] = 0xFF000000u | from[x];
    }
    const QSize fit(box, box * 3 / 4);
    const bool shrinking = width > fit.width() || height > fit.height();
    return image.scaled(fit, Qt::KeepAspectRatio,
                        shrinking ? Qt::SmoothTransformation : Qt::FastTransformation);
}

QString Seconds(double seconds) {
    return QStringLiteral("%1 s").arg(seconds, 0, 'f', seconds < 10 ? 2 : 1);
}

QString Bytes(std::uint64_t bytes) {
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1);
}

} // namespace

CGifPreview::CGifPreview(QWidget* parent)
    : QWidget(parent), m_generation(std::make_shared<std::atomic<std::uint64_t>>(0)) {
    setFocusPolicy(Qt::NoFocus);
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("previewPicture"));
    m_picture->setAlignment(Qt::AlignCenter);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("previewText"));
    m_text->setWordWrap(true);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_picture);
    layout->addWidget(m_text, 1);
    for (QWidget* part : {static_cast<QWidget*>(m_picture), static_cast<QWidget*>(m_text)})
        part->setFocusPolicy(Qt::NoFocus);

    // One reading at a time: a newer one waits for the older to notice that
    // it is stale, which it does between its steps.
    m_pool.setMaxThreadCount(1);
    m_pause.setSingleShot(true);
    m_pause.setInterval(kPauseMs);
    connect(&m_pause, &QTimer::timeout, this, &CGifPreview::Start);
}

CGifPreview::~CGifPreview() {
    ++*m_generation;
    m_pool.clear();
    m_pool.waitForDone();
}

QString CGifPreview::Text() const {
    return m_text->text();
}

void CGifPreview::SetSource(const QString& path) {
    m_path = path.trimmed();
    ++*m_generation;
    m_pool.clear();
    m_shown.reset();
    m_reading = !m_path.isEmpty();
    if (m_reading)
        m_pause.start();
    else
        m_pause.stop();
    Show();
}

void CGifPreview::SetMode(bool uncompressed, bool delta, bool faithful) {
    m_uncompressed = uncompressed;
    m_delta = delta && !uncompressed;
    m_faithful = faithful;
    Show();
}

std::shared_ptr<const CGifPreview::Reading> CGifPreview::Read(const QString& path, int box,
                                                              const std::function<bool()>& stale) {
    auto reading = std::make_shared<Reading>();
    reading->summary = CGifSummary::Read(CString(path.toStdString()), stale);
    CGifSummary& s = reading->summary;
    if (!s.IsReadable()) return reading;
    for (const bool faithful : {false, true}) {
        CGifSummary::Video& video = faithful ? s.m_faithful : s.m_default;
        reading->thumbnail[faithful] = Thumbnail(video.firstFrame, s.m_nWidth, s.m_nHeight, box);
        // The pixels served their purpose: only the thumbnail is kept.
        std::vector<DWORD>().swap(video.firstFrame);
    }
    return reading;
}

void CGifPreview::Start() {
    const std::uint64_t generation = *m_generation;
    const QString path = m_path;
    const int box = width();
    std::shared_ptr<std::atomic<std::uint64_t>> current = m_generation;
    auto stale = [current, generation] { return *current != generation; };
    // Device bitmaps of 8 bits or fewer index the screen's palette, which a
    // conversion on this thread realises: on such a screen the reading
    // stays on this thread too (screens are 32 bits deep but in tests).
    if (GdiGetScreenBitsPerPixel() <= 8) {
        Receive(generation, Read(path, box, stale));
        return;
    }
    m_pool.start([this, path, box, generation, stale] {
        if (stale()) return;
        std::shared_ptr<const Reading> reading = Read(path, box, stale);
        // Delivered on the widget's thread; the destructor waits for this
        // task, and an event posted to a widget is dropped when it goes.
        QMetaObject::invokeMethod(
            this, [this, generation, reading] { Receive(generation, reading); },
            Qt::QueuedConnection);
    });
}

void CGifPreview::Receive(std::uint64_t generation, std::shared_ptr<const Reading> reading) {
    if (generation != *m_generation || reading->summary.m_bStale) return;
    m_reading = false;
    m_shown = std::move(reading);
    Show();
}

void CGifPreview::Show() {
    if (!m_shown) {
        m_picture->clear();
        m_text->setText(m_reading ? tr("Reading the GIF...") : QString());
        emit Updated();
        return;
    }
    const CGifSummary& s = m_shown->summary;
    if (!s.IsReadable()) {
        m_picture->clear();
        m_text->setText((s.m_bGif ? tr("This GIF cannot be converted. %1")
                                  : tr("This picture cannot be converted. %1"))
                            .arg(QString::fromStdString(s.m_strError.str())));
        emit Updated();
        return;
    }
    m_picture->setPixmap(QPixmap::fromImage(m_shown->thumbnail[m_faithful]));
    const CGifSummary::Video& video = s.VideoOf(m_faithful);
    QStringList lines;
    lines << tr("%1 x %2 pixels, %3 images").arg(s.m_nWidth).arg(s.m_nHeight).arg(s.m_nImages);
    lines << tr("Length: %1 at 15 frames per second, %2 with its own timing")
                 .arg(Seconds(s.SecondsAt15()), Seconds(s.OwnSeconds()));
    if (s.m_bFaithfulDiffers && s.m_bGif)
        lines << tr("It uses transparency, disposal or timing that only \"Play as the GIF "
                    "animates\" shows.");
    else if (s.m_bFaithfulDiffers)
        lines << tr("Its frames have durations that only \"Play as the GIF animates\" "
                    "keeps.");
    // The RLE8 figure takes the first frame's encoding for every image: an
    // estimate, and for delta frames (never larger than whole ones) about the
    // most they take.
    QString size;
    if (m_uncompressed)
        size = tr("Video: %1 uncompressed").arg(Bytes(video.uncompressedBytes));
    else if (video.rle8Bytes == 0) // the first frame could not be encoded
        size = tr("Video: size not known in RLE8");
    else if (m_delta)
        size = tr("Video: about %1 or less with delta frames").arg(Bytes(video.rle8Bytes));
    else
        size = tr("Video: about %1 in RLE8").arg(Bytes(video.rle8Bytes));
    lines << size + tr(", %1 frames").arg(video.frames);
    m_text->setText(lines.join(QLatin1Char('\n')));
    emit Updated();
}
