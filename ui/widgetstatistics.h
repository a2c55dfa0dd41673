#pragma once

#include <QDialog>

class QLabel;
class QTimer;
struct UiContext;
namespace voip::rtp {
struct StreamStatistics;
}

/// The call's live figures, audio beside video, what we send (Tx) beside what we receive
/// (Rx), refreshed every three seconds while a call is up.
class WidgetStatistics : public QDialog
{
    Q_OBJECT

public:
    /// The audio and video figures, in row order.
    enum AudioRow
    {
        AudioCodec,
        AudioBandwidth,
        AudioTransfer,
        AudioJitter,
        AudioLatency,
        AudioLost,
        AudioEncryption,
        AudioRows
    };
    enum VideoRow
    {
        VideoCodec,
        VideoSize,
        VideoRate,
        VideoBandwidth,
        VideoTransfer,
        VideoJitter,
        VideoLatency,
        VideoLost,
        VideoEncryption,
        VideoAllowed, ///< sent: the rate the path allows, as the far end's reports tell
        VideoWhy,     ///< sent: why that rate
        VideoRows
    };

    WidgetStatistics(const UiContext& context, QWidget* parent = nullptr,
                     Qt::WindowFlags flags = Qt::WindowFlags());

    void startUpdates();
    void resetValues();
    void updateAudio(int direction);
    void updateVideo(int direction);
    QLabel* audioValue(AudioRow row, int direction) const { return audio_[row][direction]; }
    QLabel* videoValue(VideoRow row, int direction) const { return video_[row][direction]; }
    QTimer* timer() const { return timer_; }

    /// The texts of the figures, as the dialog shows them.
    static QString bandwidthText(const voip::rtp::StreamStatistics& statistics);
    static QString transferText(const voip::rtp::StreamStatistics& statistics);
    /// "AES-128", or that the direction goes in clear.
    static QString encryptionText(const voip::rtp::StreamStatistics& statistics);
    /// The rate the far end's reports allow what we send, and why ("-" when not steered).
    static QString allowedText(const voip::rtp::StreamStatistics& statistics);
    static QString whyText(const voip::rtp::StreamStatistics& statistics);
    /// Frames a second; a picture we send that does not change is sent only when it
    /// does, and is said to be a still picture rather than "0 fps".
    static QString rateText(const voip::rtp::StreamStatistics& statistics, bool sending);

public slots:
    void onTimer();

private:
    QWidget* column(const QString& title, const QStringList& rows, QLabel* (*values)[2]);

    const UiContext& context_;
    int valueWidth_ = 0;
    int labelWidth_ = 0;
    QTimer* timer_ = nullptr;
    QLabel* audio_[AudioRows][2] = {};
    QLabel* video_[VideoRows][2] = {};
};
