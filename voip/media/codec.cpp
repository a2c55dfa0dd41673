#include "voip/media/codec.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "voip/media/avlibrary.h"
#include "voip/media/g711.h"

namespace voip {

namespace {

bool isALaw(const AudioCodecInfo& info)
{
    return info.payloadType == 8;
}

bool isULaw(const AudioCodecInfo& info)
{
    return info.payloadType == 0;
}

/// G.711 is coded here; only G.722 is taken from libavcodec.
bool codedHere(const AudioCodecInfo& info)
{
    return isALaw(info) || isULaw(info);
}

MediaStatus codecFailure(const AudioCodecInfo& info, const char* what, int code)
{
    return MediaFailure{MediaError::DeviceFailure,
                        info.formatName + ": " + what + ": " + avErrorText(*avLibrary(), code)};
}

/// Allocates and opens a libavcodec context for 16-bit mono at the codec's rate.
MediaStatus openContext(const AudioCodecInfo& info, bool encoder, unsigned frameSize,
                        AVCodecContext*& context, AVFrame*& frame, AVPacket*& packet)
{
    std::string error;
    const AvLibrary* av = avLibrary(&error);
    if (!av)
        return MediaFailure{MediaError::Unsupported, info.formatName + " needs FFmpeg: " + error};
    const AVCodec* codec = encoder ? av->avcodec_find_encoder(AV_CODEC_ID_ADPCM_G722)
                                   : av->avcodec_find_decoder(AV_CODEC_ID_ADPCM_G722);
    if (!codec)
        return MediaFailure{MediaError::Unsupported, "libavcodec has no " + info.formatName +
                                                         (encoder ? " encoder" : " decoder")};
    context = av->avcodec_alloc_context3(codec);
    frame = av->av_frame_alloc();
    packet = av->av_packet_alloc();
    if (!context || !frame || !packet)
        return MediaFailure{MediaError::DeviceFailure, "out of memory for a codec"};
    context->sample_rate = int(info.sampleRate);
    context->sample_fmt = AV_SAMPLE_FMT_S16;
    av->av_channel_layout_default(&context->ch_layout, 1);
    context->bit_rate = int64_t(info.bytesPerSecond) * 8;
    if (encoder && frameSize)
        context->frame_size = int(frameSize);
    if (int rc = av->avcodec_open2(context, codec, nullptr); rc < 0)
        return codecFailure(info, "cannot open the codec", rc);
    return MediaStatus();
}

} // namespace

const std::vector<AudioCodecInfo>& audioCodecs()
{
    // G.722 samples at 16 kHz but RTP counts it at 8 kHz (RFC 3551 4.5.2).
    static const std::vector<AudioCodecInfo> codecs = {
        {"G.722-64k", 9, 16000, 8000, 8000},
        {"G.711-ALaw-64k", 8, 8000, 8000, 8000},
        {"G.711-uLaw-64k", 0, 8000, 8000, 8000},
    };
    return codecs;
}

const AudioCodecInfo* findAudioCodec(std::string_view formatName)
{
    for (const auto& codec : audioCodecs())
        if (codec.formatName == formatName)
            return &codec;
    return nullptr;
}

AudioEncoder::AudioEncoder(const AudioCodecInfo& info, unsigned frameMs)
    : info_(info)
    , frameMs_(frameMs)
{}

AudioEncoder::~AudioEncoder()
{
    freeCodecState(context_, frame_, packet_);
}

MediaResult<std::unique_ptr<AudioEncoder>> AudioEncoder::create(std::string_view formatName,
                                                                unsigned frameMs)
{
    const auto* info = findAudioCodec(formatName);
    if (!info)
        return MediaFailure{MediaError::NotFound,
                            "no audio codec for format \"" + std::string(formatName) + "\""};
    if (frameMs < 1 || frameMs > 240)
        return MediaFailure{MediaError::InvalidArgument,
                            "audio frame of " + std::to_string(frameMs) + " ms"};
    std::unique_ptr<AudioEncoder> encoder(new AudioEncoder(*info, frameMs));
    if (codedHere(*info)) {
        encoder->codecFrame_ = encoder->frameSamples();
        return encoder;
    }
    if (auto status = openContext(*info, true, encoder->frameSamples(), encoder->context_,
                                  encoder->frame_, encoder->packet_);
        !status)
        return status.error();
    // Codecs with a fixed frame size (G.722) get the frame in pieces of that size.
    const unsigned fixed = unsigned(std::max(0, encoder->context_->frame_size));
    encoder->codecFrame_ = fixed ? fixed : encoder->frameSamples();
    if (encoder->frameSamples() % encoder->codecFrame_ != 0)
        return MediaFailure{MediaError::Unsupported, info->formatName +
                                                         " cannot encode frames of " +
                                                         std::to_string(frameMs) + " ms"};
    return encoder;
}

MediaStatus AudioEncoder::encode(std::span<const int16_t> pcm, std::vector<uint8_t>& payload)
{
    if (pcm.size() != frameSamples())
        return MediaFailure{MediaError::InvalidArgument,
                            info_.formatName + " encoder takes " + std::to_string(frameSamples()) +
                                " samples, not " + std::to_string(pcm.size())};
    payload.clear();
    if (codedHere(info_)) {
        payload.resize(pcm.size());
        const auto encodeSample = isALaw(info_) ? g711::encodeALaw : g711::encodeULaw;
        std::transform(pcm.begin(), pcm.end(), payload.begin(), encodeSample);
        return MediaStatus();
    }
    const AvLibrary& av = *avLibrary();
    for (size_t offset = 0; offset < pcm.size(); offset += codecFrame_) {
        av.av_frame_unref(frame_);
        frame_->nb_samples = int(codecFrame_);
        frame_->format = AV_SAMPLE_FMT_S16;
        frame_->sample_rate = int(info_.sampleRate);
        av.av_channel_layout_default(&frame_->ch_layout, 1);
        if (int rc = av.av_frame_get_buffer(frame_, 0); rc < 0)
            return codecFailure(info_, "no frame buffer", rc);
        std::memcpy(frame_->data[0], pcm.data() + offset, codecFrame_ * sizeof(int16_t));
        if (int rc = av.avcodec_send_frame(context_, frame_); rc < 0)
            return codecFailure(info_, "encoding failed", rc);
        for (;;) {
            int rc = av.avcodec_receive_packet(context_, packet_);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                break;
            if (rc < 0)
                return codecFailure(info_, "encoding failed", rc);
            payload.insert(payload.end(), packet_->data, packet_->data + packet_->size);
            av.av_packet_unref(packet_);
        }
    }
    return MediaStatus();
}

AudioDecoder::AudioDecoder(const AudioCodecInfo& info)
    : info_(info)
{}

AudioDecoder::~AudioDecoder()
{
    freeCodecState(context_, frame_, packet_);
}

MediaResult<std::unique_ptr<AudioDecoder>> AudioDecoder::create(std::string_view formatName)
{
    const auto* info = findAudioCodec(formatName);
    if (!info)
        return MediaFailure{MediaError::NotFound,
                            "no audio codec for format \"" + std::string(formatName) + "\""};
    std::unique_ptr<AudioDecoder> decoder(new AudioDecoder(*info));
    if (codedHere(*info))
        return decoder;
    if (auto status =
            openContext(*info, false, 0, decoder->context_, decoder->frame_, decoder->packet_);
        !status)
        return status.error();
    return decoder;
}

size_t AudioDecoder::samplesFor(size_t payloadBytes) const
{
    return size_t(uint64_t(payloadBytes) * info_.sampleRate / info_.bytesPerSecond);
}

MediaStatus AudioDecoder::decode(std::span<const uint8_t> payload, std::vector<int16_t>& pcm)
{
    if (payload.empty())
        return MediaStatus();
    if (payload.size() > MaxPayloadBytes)
        return MediaFailure{MediaError::BadData, info_.formatName + " payload of " +
                                                     std::to_string(payload.size()) + " bytes"};
    if (codedHere(info_)) {
        const auto decodeSample = isALaw(info_) ? g711::decodeALaw : g711::decodeULaw;
        std::transform(payload.begin(), payload.end(), std::back_inserter(pcm), decodeSample);
        return MediaStatus();
    }
    const AvLibrary& av = *avLibrary();
    // libavcodec wants padding after the data, so the payload is copied in.
    if (int rc = av.av_new_packet(packet_, int(payload.size())); rc < 0)
        return codecFailure(info_, "no packet buffer", rc);
    std::memcpy(packet_->data, payload.data(), payload.size());
    int rc = av.avcodec_send_packet(context_, packet_);
    av.av_packet_unref(packet_);
    if (rc < 0)
        return codecFailure(info_, "decoding failed", rc);
    for (;;) {
        rc = av.avcodec_receive_frame(context_, frame_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return codecFailure(info_, "decoding failed", rc);
        if (frame_->format != AV_SAMPLE_FMT_S16 || frame_->ch_layout.nb_channels != 1) {
            av.av_frame_unref(frame_);
            return MediaFailure{MediaError::Unsupported,
                                info_.formatName + " decoder gave an unexpected format"};
        }
        const auto* samples = reinterpret_cast<const int16_t*>(frame_->data[0]);
        pcm.insert(pcm.end(), samples, samples + frame_->nb_samples);
        av.av_frame_unref(frame_);
    }
    return MediaStatus();
}

} // namespace voip
