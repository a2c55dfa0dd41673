#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "voip/device/mediastatus.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace voip {

/// The facts of an audio codec the engine can encode and decode.
struct AudioCodecInfo
{
    std::string formatName;  ///< "G.711-ALaw-64k", as the media-format registry names it
    int payloadType;         ///< RFC 3551 static payload type
    unsigned sampleRate;     ///< PCM samples per second in and out of the codec
    unsigned rtpClockRate;   ///< RTP timestamp units per second (8000 for G.722 too)
    unsigned bytesPerSecond; ///< payload bytes per second of audio (constant bit rate)
};

/// The audio codecs built in, G.722 first.
const std::vector<AudioCodecInfo>& audioCodecs();
/// The codec of a format name, or null when the engine has no such audio codec.
const AudioCodecInfo* findAudioCodec(std::string_view formatName);

/// Name of the raw PCM formats the sound side of a patch carries (16-bit mono).
inline constexpr std::string_view PcmFormat8k = "PCM-16";
inline constexpr std::string_view PcmFormat16k = "PCM-16-16kHz";

/// Encodes 16-bit mono PCM at the codec's sample rate into RTP payloads, one frame of
/// frameSamples() samples at a time (20 ms by default).  One thread at a time.
class AudioEncoder
{
public:
    /// An encoder for the format, with frames of frameMs milliseconds (1 to 240; G.722
    /// needs an even sample count, which any whole millisecond gives).
    static MediaResult<std::unique_ptr<AudioEncoder>> create(std::string_view formatName,
                                                             unsigned frameMs = 20);
    ~AudioEncoder();
    AudioEncoder(const AudioEncoder&) = delete;
    AudioEncoder& operator=(const AudioEncoder&) = delete;

    const AudioCodecInfo& info() const { return info_; }
    unsigned frameMs() const { return frameMs_; }
    /// PCM samples in one frame.
    unsigned frameSamples() const { return info_.sampleRate * frameMs_ / 1000; }
    /// RTP timestamp units one frame advances.
    unsigned frameTimestampUnits() const { return info_.rtpClockRate * frameMs_ / 1000; }

    /// Encodes exactly frameSamples() samples; the payload replaces `payload`.
    MediaStatus encode(std::span<const int16_t> pcm, std::vector<uint8_t>& payload);

private:
    AudioEncoder(const AudioCodecInfo& info, unsigned frameMs);

    AudioCodecInfo info_;
    unsigned frameMs_;
    unsigned codecFrame_ = 0; ///< samples per libavcodec frame (divides frameSamples())
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

/// Decodes RTP payloads of any duration (a peer may send 1 ms or 240 ms per packet) into
/// 16-bit mono PCM at the codec's sample rate.  One thread at a time.
class AudioDecoder
{
public:
    /// Payloads longer than this (one second of 64 kbit/s audio) are refused as bad data.
    static constexpr size_t MaxPayloadBytes = 8000;

    static MediaResult<std::unique_ptr<AudioDecoder>> create(std::string_view formatName);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    const AudioCodecInfo& info() const { return info_; }
    /// PCM samples a payload of this many bytes decodes to.
    size_t samplesFor(size_t payloadBytes) const;

    /// Appends the decoded samples to `pcm`.  An empty payload adds nothing.
    MediaStatus decode(std::span<const uint8_t> payload, std::vector<int16_t>& pcm);

private:
    explicit AudioDecoder(const AudioCodecInfo& info);

    AudioCodecInfo info_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

} // namespace voip
