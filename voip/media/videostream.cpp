#include "voip/media/videostream.h"

#include <algorithm>

#include "voip/base/trace.h"
#include "voip/media/h264sps.h"

namespace voip {

VideoSourceStream::VideoSourceStream(const MediaFormat& format, unsigned sessionId,
                                     std::string driver, const VideoInputParams& input,
                                     const H264EncoderOptions& encoding, std::size_t maxPayload)
    : VideoSourceStream(
          format, sessionId,
          [driver = std::move(driver)] { return createVideoInputDevice(driver); }, input, encoding,
          maxPayload)
{}

VideoSourceStream::VideoSourceStream(const MediaFormat& format, unsigned sessionId,
                                     DeviceFactory factory, const VideoInputParams& input,
                                     const H264EncoderOptions& encoding, std::size_t maxPayload)
    : FrameStream(format, sessionId, true)
    , factory_(std::move(factory))
    , input_(input)
    , encoding_(encoding)
    , packetiser_(maxPayload, int(format.integerOption(option::PacketizationMode, 1)))
{
    // The format's picture (what the far end takes) wins over the device's; an odd or
    // missing size keeps the device's.
    const auto width = format.integerOption(option::FrameWidth, 0);
    const auto height = format.integerOption(option::FrameHeight, 0);
    const bool formatSize = width >= 16 && height >= 16 && width % 2 == 0 && height % 2 == 0;
    encoding_.width = formatSize ? unsigned(width) : input.width;
    encoding_.height = formatSize ? unsigned(height) : input.height;
    encoding_.frameRate = std::max(1u, input.frameRate);
    if (const auto frameTime = format.integerOption(option::FrameTime, 0); frameTime > 0)
        encoding_.frameRate =
            std::clamp(unsigned(format.clockRate() / frameTime), 1u, encoding_.frameRate);
    if (packetiser_.mode() == 0)
        encoding_.maxSliceBytes = unsigned(packetiser_.maxPayload());
    currentBitRate_ = encoding_.bitRate;
}

VideoSourceStream::~VideoSourceStream()
{
    close();
}

bool VideoSourceStream::onOpen()
{
    auto device = factory_ ? factory_()
                           : MediaResult<std::unique_ptr<VideoInputDevice>>(
                                 MediaFailure{MediaError::NotFound, "no video source"});
    if (!device) {
        setLastError(device.error().message);
        return false;
    }
    if (auto status = device.value()->open(input_); !status) {
        setLastError(status.error().message);
        return false;
    }
    auto encoder = H264Encoder::create(encoding_);
    if (!encoder) {
        setLastError(encoder.error().message);
        return false;
    }
    device_ = device.take();
    encoder_ = encoder.take();
    closing_ = false;
    return true;
}

void VideoSourceStream::onClose()
{
    // The patch thread notices at its next picture (one frame interval at most).
    closing_ = true;
}

MediaStatus VideoSourceStream::readFrame(StreamFrame& frame)
{
    while (pending_.empty()) {
        if (closing_ || !device_)
            return MediaFailure{MediaError::Closed, "video source closed"};
        VideoFrame& picture = picture_;
        if (auto status = device_->readFrame(picture); !status) {
            setLastError(status.error().message);
            return MediaFailure{MediaError::DeviceFailure, status.error().message};
        }
        // A far end that takes fewer pictures a second gets every n-th, evenly spread.
        rateCredit_ += encoding_.frameRate;
        if (rateCredit_ < std::max(1u, input_.frameRate))
            continue;
        rateCredit_ -= std::max(1u, input_.frameRate);
        const std::uint64_t slot = slots_++;
        const auto now = std::chrono::steady_clock::now();
        // The same still picture again: nothing to send until it is due for a refresh,
        // or the far end asks for a key frame. Its time still passes on the RTP clock.
        if (picture.serial != 0 && picture.serial == encodedSerial_ && lastEncoded_ &&
            now - *lastEncoded_ < StillRefreshInterval && !keyFrameRequested_) {
            ++repeated_;
            continue;
        }
        const VideoFrame* toEncode = &picture;
        if (picture.width != encoding_.width || picture.height != encoding_.height) {
            if (!picture.scaleInto(scaled_, encoding_.width, encoding_.height)) {
                setLastError("cannot scale a " + std::to_string(picture.width) + "x" +
                             std::to_string(picture.height) + " picture");
                continue;
            }
            toEncode = &scaled_;
        }
        if (rateChanged_.exchange(false)) {
            const unsigned wanted = bitRate_ ? bitRate_.load() : encoding_.bitRate;
            const unsigned path = pathRate_;
            encoder_->setBitRate(path ? std::min(wanted, path) : wanted);
            currentBitRate_ = encoder_->options().bitRate;
        }
        if (keyFrameRequested_ && (!lastKeyFrame_ || now - *lastKeyFrame_ >= keyFrameSpacing_)) {
            keyFrameRequested_ = false;
            encoder_->requestKeyFrame();
        }
        if (auto status = encoder_->encode(*toEncode, accessUnit_); !status) {
            setLastError(status.error().message);
            return status;
        }
        ++pictures_;
        encodedSerial_ = picture.serial;
        lastEncoded_ = now;
        for (auto unit : h264::splitAnnexB(accessUnit_))
            if ((unit[0] & 0x1F) == 5) {
                ++keyFrames_;
                lastKeyFrame_ = now;
                // At a low rate a key frame takes a while on the path: the next one
                // waits twice that.
                const auto takes = std::chrono::microseconds(std::int64_t(
                    double(accessUnit_.size()) * 8e6 / std::max(1u, currentBitRate_.load())));
                keyFrameSpacing_ =
                    std::max<std::chrono::steady_clock::duration>(MinKeyFrameInterval, 2 * takes);
                break;
            }
        packetiser_.packetise(accessUnit_, payloads_);
        const auto timestamp = uint32_t(slot * 90000 / encoding_.frameRate);
        for (std::size_t i = 0; i < payloads_.size(); ++i) {
            StreamFrame out;
            out.payload = std::move(payloads_[i]);
            out.timestamp = timestamp;
            out.marker = i + 1 == payloads_.size();
            pending_.push_back(std::move(out));
        }
    }
    frame = std::move(pending_.front());
    pending_.pop_front();
    return MediaStatus();
}

VideoSinkStream::VideoSinkStream(const MediaFormat& format, unsigned sessionId,
                                 std::shared_ptr<VideoOutput> output,
                                 std::function<void()> askForPicture,
                                 std::chrono::milliseconds minAskInterval)
    : FrameStream(format, sessionId, false)
    , output_(std::move(output))
    , askForPicture_(std::move(askForPicture))
    , minAskInterval_(minAskInterval)
{}

bool VideoSinkStream::onOpen()
{
    // The decoder (and with it FFmpeg) waits for the first picture: a call whose far end
    // sends no video never loads it.
    return true;
}

void VideoSinkStream::askForPicture(std::chrono::milliseconds interval)
{
    const auto now = std::chrono::steady_clock::now();
    if (lastAsk_ && now - *lastAsk_ < interval) {
        askPending_ = true; // asked for when the interval has passed
        return;
    }
    askPending_ = false;
    lastAsk_ = now;
    ++asked_;
    if (askForPicture_)
        askForPicture_();
}

void VideoSinkStream::damaged()
{
    holding_ = true;
    askForPicture(UrgentAskInterval);
}

bool VideoSinkStream::containsKeyFrame(std::span<const uint8_t> picture)
{
    for (const auto nal : h264::splitAnnexB(picture))
        if ((nal[0] & 0x1F) == 5)
            return true;
    return false;
}

bool VideoSinkStream::decodable(std::span<const uint8_t> picture)
{
    bool idr = false;
    for (const auto nal : h264::splitAnnexB(picture)) {
        switch (nal[0] & 0x1F) {
        case 7:
            haveSps_ = true;
            break;
        case 8:
            havePps_ = true;
            break;
        case 5:
            idr = true;
            break;
        default:
            break;
        }
    }
    if (!started_ && idr && haveSps_ && havePps_)
        started_ = true;
    return started_;
}

bool VideoSinkStream::parameterSetsAcceptable(std::span<const uint8_t> picture)
{
    for (const auto nal : h264::splitAnnexB(picture)) {
        if ((nal[0] & 0x1F) != 7)
            continue;
        std::string error;
        if (!h264::parseSequenceParameterSet(nal, &error)) {
            VOIP_TRACE(2, "Media	Refused a sequence parameter set: " << error);
            return false;
        }
    }
    return true;
}

MediaStatus VideoSinkStream::writeFrame(const StreamFrame& frame)
{
    if (!decoder_) {
        auto decoder = H264Decoder::create();
        if (!decoder) {
            setLastError(decoder.error().message);
            return decoder.error();
        }
        decoder_ = decoder.take();
    }
    // Asked again when what was asked for has not come, unless a key frame is still
    // arriving (on a narrow path its packets take a while).
    const auto now = std::chrono::steady_clock::now();
    if (h264::carriesKeyFrame(frame.payload))
        keyFrameArriving_ = now;
    const auto interval = holding_ ? UrgentAskInterval : minAskInterval_;
    if ((askPending_ || holding_) && lastAsk_ && now - *lastAsk_ >= interval &&
        !(keyFrameArriving_ && now - *keyFrameArriving_ < UrgentAskInterval))
        askForPicture(interval);
    // The transport numbers its packets; what it knows lost shows as a gap here.
    sequence_ = uint16_t(sequence_ + 1 + frame.lostBefore);
    if (depacketiser_.add(frame.payload, sequence_, frame.timestamp, frame.marker) ==
        h264::DepacketiseResult::Damaged)
        damaged();
    uint32_t timestamp = 0;
    while (depacketiser_.takePicture(picture_, timestamp)) {
        if (!parameterSetsAcceptable(picture_)) {
            // Never decoded: a picture of that size or a set that does not parse would
            // make the decoder allocate or fail.  A new IDR brings new sets.
            ++refused_;
            askForPicture();
            continue;
        }
        if (output_)
            output_->takeCodedPicture(picture_);
        if (!decodable(picture_)) {
            // It refers to parameter sets we never had, or follows a key frame we never
            // had: a decoder would show garbage.  The sender is asked at once.
            ++awaitingKeyFrame_;
            askForPicture(UrgentAskInterval);
            continue;
        }
        decoded_.clear();
        if (auto status = decoder_->decode(picture_, decoded_); !status) {
            VOIP_TRACE(3, "Media\t" << status.error().message);
            damaged();
        } else if (decoder_->concealed()) {
            // Whole as far as the transport knows, yet the decoder made parts of it up (a
            // sender that left slices out): a broken picture would stay until the next
            // key frame, so one is asked for now.
            ++concealed_;
            damaged();
        } else if (containsKeyFrame(picture_)) {
            askPending_ = false; // what the ask was for has come by itself
            holding_ = false;
        }
        if (holding_) {
            held_ += decoded_.size();
            continue;
        }
        for (const auto& picture : decoded_) {
            ++shown_;
            if (output_)
                output_->showFrame(picture);
        }
    }
    return MediaStatus();
}

} // namespace voip
