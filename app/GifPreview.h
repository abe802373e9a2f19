// CGifPreview: the dialog's look at the source GIF before it is converted. It
// shows a thumbnail of the video's first frame, the screen size, the number
// of images, the lengths at 15 frames per second and with the GIF's own
// timing, whether the GIF asks for what only the faithful mode plays, and
// about how large the video will be in the chosen mode; or, for a file that
// cannot be read, why. The GIF is read (CGifSummary) on a thread of the
// preview's own, so the dialog stays responsive however large the file; a
// newer source supersedes an older one, whose reading stops at its next step
// and whose result is dropped. It takes no keyboard focus.
#pragma once

#include "app/GifSummary.h"

#include <QImage>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QLabel;

class CGifPreview : public QWidget {
    Q_OBJECT

public:
    explicit CGifPreview(QWidget* parent = nullptr);
    // Waits for a reading under way to stop.
    ~CGifPreview() override;

    // The text beside the thumbnail, as shown.
    QString Text() const;
    // Whether a reading is waiting or under way.
    bool IsReading() const { return m_reading; }

    // How long the source field must rest before its text is read, so that
    // typing a path does not read every prefix of it.
    static constexpr int kPauseMs = 150;

public slots:
    // The source field's text: read after a pause; an empty one clears.
    void SetSource(const QString& path);
    // The mode the video would be written in; the figures follow at once.
    void SetMode(bool uncompressed, bool delta, bool faithful);

signals:
    // The preview shows something new: a summary, a reason, or nothing.
    void Updated();

private:
    // A summary and the thumbnails of its two first frames, made on the
    // reading thread.
    struct Reading {
        CGifSummary summary;
        QImage thumbnail[2]; // default, faithful
    };
    static std::shared_ptr<const Reading> Read(const QString& path, int box,
                                               const std::function<bool()>& stale);

    void Start();
    void Receive(std::uint64_t generation, std::shared_ptr<const Reading> reading);
    void Show();

    QLabel* m_picture = nullptr;
    QLabel* m_text = nullptr;
    QTimer m_pause;
    QThreadPool m_pool;
    // Raised for every new source; a reading of an older one is stale.
    std::shared_ptr<std::atomic<std::uint64_t>> m_generation;
    QString m_path;
    bool m_reading = false;
    std::shared_ptr<const Reading> m_shown;
    bool m_uncompressed = false, m_delta = false, m_faithful = false;
};
