#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "voip/device/videoinput.h"
#include "voip/device/videooutput.h"
#include "voip/media/h264payload.h"
#include "voip/media/stream.h"
#include "voip/media/videocodec.h"

namespace voip {

/// The local video source of a call as H.264 RTP payloads: pictures from a video input
/// device, encoded and cut into payloads, one payload per frame, the marker on the last of
/// each picture, timestamps in 90 kHz units.  The format says what the far end takes:
/// picture size ("Frame Width", "Frame Height": the device's pictures are scaled to it),
/// picture rate ("Frame Time": pictures beyond it are skipped) and packetisation mode.
/// requestKeyFrame and setBitRate may come from any thread (a far end's fast update
/// request, a flow control command).
class VideoSourceStream : public FrameStream
{
public:
    /// Makes the device the stream reads, when it opens (on the opening thread).
    using DeviceFactory = std::function<MediaResult<std::unique_ptr<VideoInputDevice>>()>;

    /// Pictures from a device of the named driver.
    VideoSourceStream(const MediaFormat& format, unsigned sessionId, std::string driver,
                      const VideoInputParams& input, const H264EncoderOptions& encoding,
                      std::size_t maxPayload = 1200);
    /// Pictures from the device `factory` makes (an application's own source).
    VideoSourceStream(const MediaFormat& format, unsigned sessionId, DeviceFactory factory,
                      const VideoInputParams& input, const H264EncoderOptions& encoding,
                      std::size_t maxPayload = 1200);
    ~VideoSourceStream() override;

    /// Far ends may ask for key frames no oftener than this, nor oftener than twice the
    /// time the last key frame took at the rate sent (on a narrow path, key frames would
    /// otherwise crowd out everything else): more requests in between are served together
    /// when it has passed, so a flood of requests costs a few key frames a second at most.
    static constexpr std::chrono::milliseconds MinKeyFrameInterval{300};
    /// A source that gives the same numbered picture again and again (a still picture) has
    /// it encoded once, then again only this often, or when a key frame is asked for: the
    /// far end keeps a live stream without an encoder working for nothing.
    static constexpr std::chrono::milliseconds StillRefreshInterval{1000};

    MediaStatus readFrame(StreamFrame& frame) override;
    void requestKeyFrame() { keyFrameRequested_ = true; }
    /// The rate to encode at (a flow control command, a gatekeeper's bandwidth).
    void setBitRate(unsigned bitsPerSecond)
    {
        bitRate_ = bitsPerSecond;
        rateChanged_ = true;
    }
    /// The most the path carries now, as the far end's reports tell (0: no limit); the
    /// encoder keeps to the lower of it and the bit rate.
    void setPathRate(unsigned bitsPerSecond)
    {
        pathRate_ = bitsPerSecond;
        rateChanged_ = true;
    }
    /// The bit rate the encoder follows now (bit/s): the lower of the two above.
    unsigned bitRate() const { return currentBitRate_; }
    uint64_t picturesSent() const { return pictures_; }
    /// Pictures of a still source not encoded because they repeated the one before.
    uint64_t picturesRepeated() const { return repeated_; }
    uint64_t keyFramesSent() const { return keyFrames_; }
    /// What the encoder was set up with (size, rate, bit rate, slices).
    const H264EncoderOptions& encoding() const { return encoding_; }

protected:
    bool onOpen() override;
    void onClose() override;

private:
    const DeviceFactory factory_;
    const VideoInputParams input_;
    H264EncoderOptions encoding_;
    h264::Packetiser packetiser_;
    // The patch thread's own, once open:
    std::unique_ptr<VideoInputDevice> device_;
    std::unique_ptr<H264Encoder> encoder_;
    std::deque<StreamFrame> pending_;
    VideoFrame picture_; ///< the device's latest (kept: a numbered source may skip the copy)
    VideoFrame scaled_;
    std::uint64_t slots_ = 0; ///< picture times passed, encoded or not (the RTP clock)
    std::uint64_t encodedSerial_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastEncoded_;
    unsigned rateCredit_ = 0; ///< picture-rate reduction (Bresenham), in input pictures
    std::optional<std::chrono::steady_clock::time_point> lastKeyFrame_;
    std::chrono::steady_clock::duration keyFrameSpacing_{MinKeyFrameInterval};
    std::vector<uint8_t> accessUnit_;
    std::vector<std::vector<uint8_t>> payloads_;
    // Any thread:
    std::atomic<bool> closing_{false};
    std::atomic<bool> keyFrameRequested_{false};
    std::atomic<unsigned> bitRate_{0}; ///< 0: the rate the encoder was set up with
    std::atomic<unsigned> pathRate_{0};
    std::atomic<bool> rateChanged_{false};
    std::atomic<unsigned> currentBitRate_{0};
    std::atomic<uint64_t> repeated_{0};
    std::atomic<uint64_t> pictures_{0};
    std::atomic<uint64_t> keyFrames_{0};
};

/// The far end's video, shown: H.264 RTP payloads reassembled, decoded and handed to a
/// video output.  A lost or undecodable picture asks the far end for a new one through
/// `askForPicture` (a videoFastUpdatePicture), and so does one the decoder had to patch up
/// (slices a sender left out), at most once per `minAskInterval`; damage
/// within the interval asks when it has passed, unless a key frame came meanwhile.
/// Pictures before the first IDR picture with its parameter sets (the start of a stream
/// was lost, as in a fastStart call whose first packets came before we listened) are not
/// decoded, so nothing broken is shown, and ask at once, then every UrgentAskInterval
/// until it comes.  After damage, nothing is shown until a key frame decodes whole: the
/// last good picture stays, as the pictures after a damaged one refer to it and would show
/// its damage; meanwhile the ask is repeated every UrgentAskInterval.  The decoder is made
/// when the first payload arrives.
class VideoSinkStream : public FrameStream
{
public:
    VideoSinkStream(const MediaFormat& format, unsigned sessionId,
                    std::shared_ptr<VideoOutput> output, std::function<void()> askForPicture,
                    std::chrono::milliseconds minAskInterval = std::chrono::milliseconds(1000));

    static constexpr std::chrono::milliseconds UrgentAskInterval{250};

    MediaStatus writeFrame(const StreamFrame& frame) override;
    uint64_t picturesShown() const { return shown_; }
    /// Pictures skipped while waiting for an IDR picture with its parameter sets.
    uint64_t picturesAwaitingKeyFrame() const { return awaitingKeyFrame_; }
    uint64_t picturesAskedFor() const { return asked_; }
    uint64_t damagedPictures() const { return depacketiser_.damaged(); }
    /// Pictures that arrived whole as far as the transport knows, but in which the decoder
    /// had to make up what was missing (a sender that left slices out).
    uint64_t concealedPictures() const { return concealed_; }
    /// Pictures never decoded because a sequence parameter set in them did not parse or
    /// described a picture larger than the engine decodes.
    uint64_t refusedPictures() const { return refused_; }
    /// Pictures decoded but not shown while the picture was damaged.
    uint64_t heldPictures() const { return held_; }

protected:
    bool onOpen() override;

private:
    void askForPicture(std::chrono::milliseconds interval);
    void askForPicture() { askForPicture(minAskInterval_); }
    /// The picture is damaged: held, and a key frame asked for at once.
    void damaged();
    static bool parameterSetsAcceptable(std::span<const uint8_t> picture);
    static bool containsKeyFrame(std::span<const uint8_t> picture);
    /// Notes the parameter sets and IDR slices of a picture; true when the decoder has
    /// what the picture needs (a key frame with its sets has come).
    bool decodable(std::span<const uint8_t> picture);

    std::shared_ptr<VideoOutput> output_;
    std::function<void()> askForPicture_;
    const std::chrono::milliseconds minAskInterval_;
    // The patch thread's own:
    h264::Depacketiser depacketiser_;
    std::unique_ptr<H264Decoder> decoder_;
    uint16_t sequence_ = 0;
    std::vector<uint8_t> picture_;
    std::vector<VideoFrame> decoded_;
    std::optional<std::chrono::steady_clock::time_point> lastAsk_;
    /// When a packet of a key frame last came: one on its way is not asked for again.
    std::optional<std::chrono::steady_clock::time_point> keyFrameArriving_;
    bool askPending_ = false; ///< damage seen since the last ask, not yet asked for
    bool haveSps_ = false;
    bool havePps_ = false;
    bool started_ = false; ///< an IDR picture with its parameter sets was decoded
    bool holding_ = false; ///< damaged: the last good picture stays until a key frame
    std::atomic<uint64_t> shown_{0};
    std::atomic<uint64_t> awaitingKeyFrame_{0};
    std::atomic<uint64_t> asked_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> concealed_{0};
    std::atomic<uint64_t> held_{0};
};

} // namespace voip
