#include "voip/media/videocodec.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "voip/media/avlibrary.h"

namespace voip {

namespace {

MediaFailure failure(const char* what, int code)
{
    return MediaFailure{MediaError::DeviceFailure,
                        std::string("H.264: ") + what + ": " + avErrorText(*avLibrary(), code)};
}

const AvLibrary* library(std::string& error)
{
    return avLibrary(&error);
}

/// "5.1" -> 51, as libavcodec counts levels.
int levelNumber(const std::string& level)
{
    const auto dot = level.find('.');
    try {
        const int major = std::stoi(level.substr(0, dot));
        const int minor = dot == std::string::npos ? 0 : std::stoi(level.substr(dot + 1));
        return major * 10 + minor;
    } catch (...) {
        return 0;
    }
}

} // namespace

H264Encoder::H264Encoder(const H264EncoderOptions& options)
    : options_(options)
{}

H264Encoder::~H264Encoder()
{
    freeCodecState(context_, frame_, packet_);
}

MediaResult<std::unique_ptr<H264Encoder>> H264Encoder::create(const H264EncoderOptions& options)
{
    if (options.width < 16 || options.height < 16 || options.width > 4096 ||
        options.height > 2304 || options.width % 2 || options.height % 2)
        return MediaFailure{MediaError::InvalidArgument, "H.264: picture of " +
                                                             std::to_string(options.width) + "x" +
                                                             std::to_string(options.height)};
    if (options.frameRate < 1 || options.frameRate > 60 || options.bitRate < 16'000)
        return MediaFailure{MediaError::InvalidArgument, "H.264: frame or bit rate"};
    std::string error;
    const AvLibrary* av = library(error);
    if (!av)
        return MediaFailure{MediaError::Unsupported, "H.264 needs FFmpeg: " + error};
    const AVCodec* codec = av->avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return MediaFailure{MediaError::Unsupported, "libavcodec has no libx264 encoder"};

    std::unique_ptr<H264Encoder> encoder(new H264Encoder(options));
    AVCodecContext* c = encoder->context_ = av->avcodec_alloc_context3(codec);
    encoder->frame_ = av->av_frame_alloc();
    encoder->packet_ = av->av_packet_alloc();
    if (!c || !encoder->frame_ || !encoder->packet_)
        return MediaFailure{MediaError::DeviceFailure, "out of memory for a codec"};
    c->width = int(options.width);
    c->height = int(options.height);
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, int(options.frameRate)};
    c->framerate = AVRational{int(options.frameRate), 1};
    c->bit_rate = options.bitRate;
    // A quarter-second buffer keeps each quarter second near the channel's rate: no
    // picture, a key frame either, is a burst that a narrow path's queue drops, and
    // pictures arrive evenly through a path just wide enough.
    c->rc_max_rate = options.bitRate;
    c->rc_buffer_size = int(options.bitRate / 4);
    c->gop_size = int(options.keyFrameInterval);
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->level = levelNumber(options.level);
    av->av_opt_set(c->priv_data, "preset", options.preset.c_str(), 0);
    av->av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av->av_opt_set(c->priv_data, "profile", options.profile.c_str(), 0);
    av->av_opt_set(c->priv_data, "forced-idr", "1", 0);
    if (options.maxSliceBytes > 0)
        av->av_opt_set(c->priv_data, "slice-max-size",
                       std::to_string(options.maxSliceBytes).c_str(), 0);
    if (int rc = av->avcodec_open2(c, codec, nullptr); rc < 0)
        return failure("cannot open the encoder", rc);

    AVFrame* f = encoder->frame_;
    f->format = AV_PIX_FMT_YUV420P;
    f->width = c->width;
    f->height = c->height;
    if (int rc = av->av_frame_get_buffer(f, 0); rc < 0)
        return failure("no frame buffer", rc);
    return encoder;
}

void H264Encoder::setBitRate(unsigned bitsPerSecond)
{
    bitsPerSecond = std::max(bitsPerSecond, 16'000u);
    options_.bitRate = bitsPerSecond;
    context_->bit_rate = bitsPerSecond;
    context_->rc_max_rate = bitsPerSecond;
    context_->rc_buffer_size = int(bitsPerSecond / 4);
}

MediaStatus H264Encoder::encode(const VideoFrame& picture, std::vector<uint8_t>& accessUnit)
{
    accessUnit.clear();
    if (picture.width != options_.width || picture.height != options_.height ||
        picture.data.size() != VideoFrame::sizeFor(picture.width, picture.height))
        return MediaFailure{MediaError::InvalidArgument,
                            "H.264 encoder takes " + std::to_string(options_.width) + "x" +
                                std::to_string(options_.height) + " pictures"};
    const AvLibrary& av = *avLibrary();
    if (int rc = av.av_frame_make_writable(frame_); rc < 0)
        return failure("no frame buffer", rc);
    for (int p = 0; p < 3; ++p) {
        const uint8_t* from = picture.plane(p);
        for (unsigned row = 0; row < picture.planeHeight(p); ++row)
            std::memcpy(frame_->data[p] + std::ptrdiff_t(row) * frame_->linesize[p],
                        from + std::size_t(row) * picture.stride(p), picture.stride(p));
    }
    frame_->pts = nextPts_++;
    frame_->pict_type = keyFrameRequested_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    keyFrameRequested_ = false;
    if (int rc = av.avcodec_send_frame(context_, frame_); rc < 0)
        return failure("encoding failed", rc);
    for (;;) {
        int rc = av.avcodec_receive_packet(context_, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return failure("encoding failed", rc);
        accessUnit.insert(accessUnit.end(), packet_->data, packet_->data + packet_->size);
        av.av_packet_unref(packet_);
    }
    return MediaStatus();
}

H264Decoder::~H264Decoder()
{
    freeCodecState(context_, frame_, packet_);
}

MediaResult<std::unique_ptr<H264Decoder>> H264Decoder::create()
{
    std::string error;
    const AvLibrary* av = library(error);
    if (!av)
        return MediaFailure{MediaError::Unsupported, "H.264 needs FFmpeg: " + error};
    const AVCodec* codec = av->avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return MediaFailure{MediaError::Unsupported, "libavcodec has no H.264 decoder"};
    std::unique_ptr<H264Decoder> decoder(new H264Decoder());
    decoder->context_ = av->avcodec_alloc_context3(codec);
    decoder->frame_ = av->av_frame_alloc();
    decoder->packet_ = av->av_packet_alloc();
    if (!decoder->context_ || !decoder->frame_ || !decoder->packet_)
        return MediaFailure{MediaError::DeviceFailure, "out of memory for a codec"};
    decoder->context_->thread_count = 1;
    if (int rc = av->avcodec_open2(decoder->context_, codec, nullptr); rc < 0)
        return failure("cannot open the decoder", rc);
    return decoder;
}

MediaStatus H264Decoder::decode(std::span<const uint8_t> accessUnit,
                                std::vector<VideoFrame>& frames)
{
    concealed_ = false;
    if (accessUnit.empty())
        return MediaStatus();
    if (accessUnit.size() > (16u << 20))
        return MediaFailure{MediaError::BadData, "H.264 access unit too large"};
    const AvLibrary& av = *avLibrary();
    if (int rc = av.av_new_packet(packet_, int(accessUnit.size())); rc < 0)
        return failure("no packet buffer", rc);
    std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
    int rc = av.avcodec_send_packet(context_, packet_);
    av.av_packet_unref(packet_);
    if (rc < 0)
        return MediaFailure{MediaError::BadData, "H.264 picture cannot be decoded"};
    for (;;) {
        rc = av.avcodec_receive_frame(context_, frame_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return MediaFailure{MediaError::BadData, "H.264 picture cannot be decoded"};
        const bool planar420 =
            frame_->format == AV_PIX_FMT_YUV420P || frame_->format == AV_PIX_FMT_YUVJ420P;
        const auto width = unsigned(frame_->width);
        const auto height = unsigned(frame_->height);
        if (!planar420 || width == 0 || height == 0 || uint64_t(width) * height > MaxPixels) {
            av.av_frame_unref(frame_);
            return MediaFailure{MediaError::Unsupported, "H.264 picture format or size not taken"};
        }
        if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT))
            concealed_ = true;
        VideoFrame picture;
        picture.width = width;
        picture.height = height;
        picture.data.resize(VideoFrame::sizeFor(width, height));
        for (int p = 0; p < 3; ++p) {
            uint8_t* to = picture.plane(p);
            for (unsigned row = 0; row < picture.planeHeight(p); ++row)
                std::memcpy(to + std::size_t(row) * picture.stride(p),
                            frame_->data[p] + std::ptrdiff_t(row) * frame_->linesize[p],
                            picture.stride(p));
        }
        frames.push_back(std::move(picture));
        av.av_frame_unref(frame_);
    }
    return MediaStatus();
}

} // namespace voip
