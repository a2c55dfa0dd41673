#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "voip/device/mediastatus.h"
#include "voip/device/videoframe.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace voip {

/// What the H.264 encoder is asked for.
struct H264EncoderOptions
{
    unsigned width = 1280;
    unsigned height = 720;
    unsigned frameRate = 25;
    unsigned bitRate = 1'000'000; ///< bits per second
    std::string profile = "high"; ///< "baseline", "main" or "high"
    std::string level = "5.1";
    unsigned keyFrameInterval = 250; ///< frames between IDR pictures unless asked sooner
    std::string preset = "veryfast"; ///< keeps 720p25 in real time on one core
    /// Slices of at most this many octets (0: one slice a picture), so that each NAL unit
    /// fits one RTP packet of the single NAL unit mode.
    unsigned maxSliceBytes = 0;
};

/// H.264 through libx264 (in libavcodec): zero-latency tuning, no B-frames, one access
/// unit in Annex B per picture.  One thread at a time.
class H264Encoder
{
public:
    static MediaResult<std::unique_ptr<H264Encoder>> create(const H264EncoderOptions& options);
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    /// Encodes one picture of the configured size; the access unit replaces `accessUnit`
    /// (empty when the encoder has nothing to send for it).
    MediaStatus encode(const VideoFrame& frame, std::vector<uint8_t>& accessUnit);
    /// The next picture is sent as an IDR picture (a far end asked for a fast update).
    void requestKeyFrame() { keyFrameRequested_ = true; }
    /// Follows the bit rate the channel allows from the next picture on.
    void setBitRate(unsigned bitsPerSecond);
    const H264EncoderOptions& options() const { return options_; }

private:
    explicit H264Encoder(const H264EncoderOptions& options);

    H264EncoderOptions options_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t nextPts_ = 0;
    bool keyFrameRequested_ = false;
};

/// H.264 through libavcodec's decoder.  A picture that cannot be decoded is reported so
/// that the receiver can ask for a new one.  One thread at a time.
class H264Decoder
{
public:
    /// Pictures larger than this (width x height) are refused: 4096 x 2304 covers level 5.1.
    static constexpr unsigned MaxPixels = 4096u * 2304u;

    static MediaResult<std::unique_ptr<H264Decoder>> create();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    /// Decodes one access unit (Annex B); the pictures it gives are appended to `frames`.
    /// BadData when the unit cannot be decoded.
    MediaStatus decode(std::span<const uint8_t> accessUnit, std::vector<VideoFrame>& frames);
    /// Whether a picture the last decode gave had parts the decoder made up (slices
    /// missing or broken, references lost): shown, but not what the sender sent.
    bool concealed() const { return concealed_; }

private:
    H264Decoder() = default;

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool concealed_ = false;
};

} // namespace voip
