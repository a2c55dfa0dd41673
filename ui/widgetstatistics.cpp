#include "ui/widgetstatistics.h"

#include <algorithm>
#include <array>

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxmanager.h"
#include "ui/uicontext.h"

WidgetStatistics::WidgetStatistics(const UiContext& context, QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
{
    setObjectName("statistics");
    setWindowOpacity(0.9);
    // Values are short ("1023 KB", "1280x720", a still picture's word): ten digits' room
    // each, so that the two columns fit a small window; labels take what the longest needs.
    const QFontMetrics metrics(font());
    // Ten digits, or a video format named by its profile, whichever is wider.
    valueWidth_ = std::max(metrics.horizontalAdvance("1234567890"),
                           metrics.horizontalAdvance("H.264 Baseline"));
    for (const char* key :
         {"codec", "size", "rate", "bandwidth", "transfer", "jitter", "latency", "packet-lost",
          "encryption", "path-allows", "rate-why", "audio", "video"})
        labelWidth_ = std::max(labelWidth_, metrics.horizontalAdvance(tr(key)) + 8);
    timer_ = new QTimer(this);
    timer_->setInterval(3000);
    connect(timer_, &QTimer::timeout, this, &WidgetStatistics::onTimer);

    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(5, 5, 5, 5);
    QWidget* audio = column(tr("audio"),
                            {tr("codec"), tr("bandwidth"), tr("transfer"), tr("jitter"),
                             tr("latency"), tr("packet-lost"), tr("encryption")},
                            audio_);
    audio->setStyleSheet("QWidget{border-right: 1px solid lightGray;}");
    layout->addWidget(audio);
    layout->addWidget(column(tr("video"),
                             {tr("codec"), tr("size"), tr("rate"), tr("bandwidth"), tr("transfer"),
                              tr("jitter"), tr("latency"), tr("packet-lost"), tr("encryption"),
                              tr("path-allows"), tr("rate-why")},
                             video_));
}

QWidget* WidgetStatistics::column(const QString& title, const QStringList& rows,
                                  QLabel* (*values)[2])
{
    auto* widget = new QWidget();
    auto* layout = new QVBoxLayout(widget);
    layout->setAlignment(Qt::AlignTop);
    layout->setSpacing(5);
    layout->setContentsMargins(5, 5, 0, 5);
    const auto addRow = [&](const QString& text, const QString& labelName,
                            const std::array<QLabel*, 2>& cells) {
        QWidget* row = KxApp::createLabeledRow(text, nullptr, labelName, labelWidth_,
                                               QMargins(0, 0, 0, 0), Qt::AlignLeft);
        for (QLabel* cell : cells) {
            cell->setFixedWidth(valueWidth_);
            row->layout()->addWidget(cell);
        }
        layout->addWidget(row);
    };
    auto* tx = new QLabel(tr("tx"));
    auto* rx = new QLabel(tr("rx"));
    tx->setObjectName("labelStatisticsTitle");
    rx->setObjectName("labelStatisticsTitle");
    addRow(title, "labelStatisticsTitle", {tx, rx});
    for (int i = 0; i < rows.size(); ++i) {
        for (int direction = 0; direction < 2; ++direction) {
            values[i][direction] = new QLabel("-");
            values[i][direction]->setObjectName("valueStatistics");
        }
        addRow(rows[i], "labelStatistics", {values[i][0], values[i][1]});
    }
    return widget;
}

void WidgetStatistics::startUpdates()
{
    KxManager* manager = context_.manager();
    if (manager && manager->currentCall()) {
        if (!timer_->isActive())
            timer_->start();
    } else {
        resetValues();
    }
}

void WidgetStatistics::resetValues()
{
    timer_->stop();
    for (auto& row : audio_)
        for (QLabel* value : row)
            value->setText("-");
    for (auto& row : video_)
        for (QLabel* value : row)
            value->setText("-");
}

void WidgetStatistics::onTimer()
{
    KxManager* manager = context_.manager();
    if (!manager || !manager->currentCall()) {
        resetValues();
        return;
    }
    if (manager->recordChannel())
        updateAudio(0);
    if (manager->playChannel())
        updateAudio(1);
    if (manager->localVideoSending())
        updateVideo(0);
    if (manager->remoteVideoReceiving())
        updateVideo(1);
}

QString WidgetStatistics::bandwidthText(const voip::rtp::StreamStatistics& statistics)
{
    const auto ms = uint64_t(statistics.timeBase.count());
    const uint64_t kbps = ms ? statistics.rateByteCount * 8 / ms : 0;
    return QString::number(uint32_t(kbps)) + " Kbps";
}

QString WidgetStatistics::encryptionText(const voip::rtp::StreamStatistics& statistics)
{
    return statistics.encrypted ? "AES-128" : tr("not-encrypted");
}

QString WidgetStatistics::allowedText(const voip::rtp::StreamStatistics& statistics)
{
    if (!statistics.allowedBitRate)
        return "-";
    return QString::number(statistics.allowedBitRate / 1000) + " Kbps";
}

QString WidgetStatistics::whyText(const voip::rtp::StreamStatistics& statistics)
{
    if (!statistics.allowedBitRate)
        return "-";
    using voip::rtp::RateReason;
    switch (statistics.rateReason) {
    case RateReason::Start:
        return tr("rate-start");
    case RateReason::Loss:
        return tr("rate-loss");
    case RateReason::Delay:
        return tr("rate-delay");
    case RateReason::Rising:
        return tr("rate-rising");
    case RateReason::Holding:
        return tr("rate-holding");
    case RateReason::Full:
        return tr("rate-full");
    }
    return "-";
}

QString WidgetStatistics::transferText(const voip::rtp::StreamStatistics& statistics)
{
    // Kilobytes until there is a megabyte, then megabytes with one decimal: a call's first
    // minute of audio is not "0 MB".
    const double bytes = double(statistics.totalBytes);
    if (bytes < 1024.0 * 1024.0)
        return QString::number(qint64(bytes / 1024.0)) + " KB";
    return QString::number(bytes / (1024.0 * 1024.0), 'f', 1) + " MB";
}

QString WidgetStatistics::rateText(const voip::rtp::StreamStatistics& statistics, bool sending)
{
    const double seconds = double(statistics.timeBase.count()) / 1000.0;
    const int fps = seconds > 0 ? int(double(statistics.frameCount) / seconds) : 0;
    if (sending && seconds > 0 && fps == 0)
        return tr("still-picture");
    return QString::number(fps) + " fps";
}

void WidgetStatistics::updateAudio(int direction)
{
    const auto s = context_.manager()->mediaStatistics(voip::MediaType::Audio, direction);
    audio_[AudioCodec][direction]->setText(QString::fromStdString(s.mediaFormat));
    audio_[AudioBandwidth][direction]->setText(bandwidthText(s));
    audio_[AudioTransfer][direction]->setText(transferText(s));
    audio_[AudioJitter][direction]->setText(QString::number(s.jitterMs) + " ms");
    audio_[AudioLatency][direction]->setText(QString::number(s.latencyMs) + " ms");
    audio_[AudioLost][direction]->setText(QString::number(s.packetsLost));
    audio_[AudioEncryption][direction]->setText(encryptionText(s));
}

void WidgetStatistics::updateVideo(int direction)
{
    const auto s = context_.manager()->mediaStatistics(voip::MediaType::Video, direction);
    video_[VideoCodec][direction]->setText(QString::fromStdString(s.mediaFormat));
    const auto [width, height] = direction == 0 ? context_.manager()->display().outgoingSize()
                                                : context_.manager()->display().remoteSize();
    video_[VideoSize][direction]->setText(
        width && height ? QString::number(width) + "x" + QString::number(height) : "-");
    video_[VideoRate][direction]->setText(rateText(s, direction == 0));
    video_[VideoBandwidth][direction]->setText(bandwidthText(s));
    video_[VideoTransfer][direction]->setText(transferText(s));
    video_[VideoJitter][direction]->setText(QString::number(s.jitterMs) + " ms");
    video_[VideoLatency][direction]->setText(QString::number(s.latencyMs) + " ms");
    video_[VideoLost][direction]->setText(QString::number(s.packetsLost));
    video_[VideoEncryption][direction]->setText(encryptionText(s));
    video_[VideoAllowed][direction]->setText(allowedText(s));
    video_[VideoWhy][direction]->setText(whyText(s));
}
