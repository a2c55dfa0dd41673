#include "voip/media/patch.h"

#include "voip/media/concealment.h"

#include <algorithm>

#include "voip/device/medialog.h"

namespace voip {

namespace {

/// Lost frames are filled with at most this much silence.
/// The longest gap filled at once (a burst of loss the jitter buffer tells of late).
constexpr unsigned kMaxConcealMs = 3000;

} // namespace

struct MediaPatch::Sink
{
    std::shared_ptr<FrameStream> stream;
    enum class Kind
    {
        PassThrough, ///< same format: frames unchanged
        Pcm,         ///< PCM out: decoded (or PCM) samples
        Encode,      ///< encoded out from PCM (decoded first when the source is encoded)
    } kind = Kind::PassThrough;
    std::unique_ptr<AudioEncoder> encoder;
    SilenceDetector silence;
    std::vector<int16_t> pending; ///< PCM waiting for a whole encoder frame
    uint32_t timestamp = 0;       ///< RTP units of the next encoded frame
    bool wasSilent = true;        ///< so that the first frame sent carries the marker
    bool failed = false;
    std::vector<uint8_t> payload;
};

MediaPatch::MediaPatch(std::shared_ptr<FrameStream> source)
    : source_(std::move(source))
    , sourceIsPcm_(source_ && isPcmFormat(source_->mediaFormat()))
{
    if (source_)
        sourceRate_ = pcmSampleRateFor(source_->mediaFormat());
}

MediaPatch::~MediaPatch()
{
    stop();
}

MediaStatus MediaPatch::addSink(std::shared_ptr<FrameStream> sink, unsigned frameMs)
{
    if (!source_ || !source_->isSource())
        return MediaFailure{MediaError::InvalidArgument, "patch without a source stream"};
    if (!sink || sink->isSource())
        return MediaFailure{MediaError::InvalidArgument, "a patch sink must be a sink"};
    if (thread_.joinable())
        return MediaFailure{MediaError::InvalidArgument, "patch already started"};

    auto entry = std::make_unique<Sink>();
    entry->stream = sink;
    const auto& in = source_->mediaFormat();
    const auto& out = sink->mediaFormat();
    const auto cannot = [&](const std::string& why) {
        return MediaFailure{MediaError::Unsupported,
                            "cannot patch " + in.name() + " to " + out.name() + ": " + why};
    };
    if (in.name() == out.name()) {
        entry->kind = Sink::Kind::PassThrough;
    } else {
        if (sourceRate_ == 0)
            return cannot("no decoder for the source");
        if (!sourceIsPcm_ && !decoder_) {
            auto decoder = AudioDecoder::create(in.name());
            if (!decoder)
                return decoder.error();
            decoder_ = decoder.take();
            concealer_ = std::make_unique<LossConcealer>(sourceRate_);
        }
        if (isPcmFormat(out)) {
            if (out.clockRate() != sourceRate_)
                return cannot("sample rates differ");
            entry->kind = Sink::Kind::Pcm;
        } else {
            auto encoder = AudioEncoder::create(out.name(), frameMs);
            if (!encoder)
                return encoder.error();
            if (encoder.value()->info().sampleRate != sourceRate_)
                return cannot("sample rates differ");
            entry->encoder = encoder.take();
            entry->kind = Sink::Kind::Encode;
        }
    }
    sinks_.push_back(std::move(entry));
    return MediaStatus();
}

void MediaPatch::setSilenceDetection(const SilenceParams& params)
{
    silence_ = params;
    for (auto& sink : sinks_)
        sink->silence.setParams(params);
}

void MediaPatch::setEndedCallback(std::function<void(const MediaStatus&)> callback)
{
    ended_ = std::move(callback);
}

MediaStatus MediaPatch::start()
{
    std::lock_guard control(controlMutex_);
    if (thread_.joinable())
        return MediaFailure{MediaError::InvalidArgument, "patch already started"};
    if (sinks_.empty())
        return MediaFailure{MediaError::InvalidArgument, "patch without sinks"};
    if (!source_->open())
        return MediaFailure{MediaError::DeviceFailure,
                            "cannot open " + source_->describe() + ": " + source_->lastError()};
    for (auto& sink : sinks_) {
        sink->silence.setParams(silence_);
        if (!sink->stream->open())
            return MediaFailure{MediaError::DeviceFailure, "cannot open " +
                                                               sink->stream->describe() + ": " +
                                                               sink->stream->lastError()};
    }
    {
        std::lock_guard lock(statsMutex_);
        stats_.running = true;
        stats_.activeSinks = unsigned(sinks_.size());
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    logMediaInfo("media patch started from " + source_->describe() + " to " +
                 std::to_string(sinks_.size()) + " sink(s)");
    return MediaStatus();
}

void MediaPatch::stop()
{
    std::lock_guard control(controlMutex_);
    stopping_ = true;
    if (source_)
        source_->close();
    const bool hadThread = thread_.joinable();
    if (hadThread)
        thread_.join();
    for (auto& sink : sinks_)
        sink->stream->close();
    std::lock_guard lock(statsMutex_);
    if (hadThread)
        logMediaInfo("media patch from " + (source_ ? source_->describe() : std::string("-")) +
                     " stopped after " + std::to_string(stats_.framesRead) + " frames read, " +
                     std::to_string(stats_.framesWritten) + " written, " +
                     std::to_string(stats_.silentFrames) + " silent");
    stats_.running = false;
}

bool MediaPatch::isRunning() const
{
    std::lock_guard lock(statsMutex_);
    return stats_.running;
}

PatchStatistics MediaPatch::statistics() const
{
    std::lock_guard lock(statsMutex_);
    return stats_;
}

void MediaPatch::run()
{
    MediaStatus ended;
    StreamFrame in;
    while (!stopping_) {
        auto status = source_->readFrame(in);
        if (!status) {
            if (stopping_ || status.error().kind == MediaError::Closed) {
                ended = MediaFailure{MediaError::Closed, "patch stopped"};
            } else if (status.error().kind == MediaError::EndOfStream) {
                ended = status;
            } else {
                ended = status;
                logMediaError("media patch from " + source_->describe() +
                              " stopped: " + status.error().message);
                std::lock_guard lock(statsMutex_);
                stats_.lastError = status.error().message;
            }
            break;
        }
        {
            std::lock_guard lock(statsMutex_);
            ++stats_.framesRead;
            stats_.bytesRead += sourceIsPcm_ ? in.pcm.size() * 2 : in.payload.size();
        }
        writeToSinks(in);
        const bool anySink =
            std::any_of(sinks_.begin(), sinks_.end(), [](const auto& s) { return !s->failed; });
        if (!anySink) {
            ended = MediaFailure{MediaError::DeviceFailure, "every sink failed"};
            break;
        }
    }
    {
        std::lock_guard lock(statsMutex_);
        stats_.running = false;
    }
    if (ended_ && !stopping_)
        ended_(ended);
}

const std::vector<int16_t>* MediaPatch::decodedPcm(const StreamFrame& in)
{
    if (sourceIsPcm_)
        return &in.pcm;
    decoded_.clear();
    // The playout timeline is kept through lost packets: the gap is filled as long as it
    // lasted (a frame said lost as it happened comes empty).
    if (in.lostBefore > 0 && lastDecodedSamples_ > 0) {
        const size_t fill = std::min<size_t>(size_t(in.lostBefore) * lastDecodedSamples_,
                                             size_t(sourceRate_) * kMaxConcealMs / 1000);
        concealer_->conceal(fill, decoded_);
    }
    if (in.payload.empty())
        return decoded_.empty() ? nullptr : &decoded_;
    const size_t before = decoded_.size();
    if (auto status = decoder_->decode(in.payload, decoded_); !status) {
        std::lock_guard lock(statsMutex_);
        ++stats_.decodeErrors;
        return nullptr;
    }
    lastDecodedSamples_ = decoded_.size() - before;
    concealer_->received(decoded_, before);
    return &decoded_;
}

void MediaPatch::writeToSinks(const StreamFrame& in)
{
    const std::vector<int16_t>* pcm = nullptr;
    bool decodedThisFrame = false;
    for (auto& sink : sinks_) {
        if (sink->failed)
            continue;
        MediaStatus status;
        uint64_t bytes = 0;
        uint64_t frames = 1;
        if (sink->kind == Sink::Kind::PassThrough) {
            if (in.payload.empty() && in.pcm.empty())
                continue; // a loss said as it happened: nothing to pass on
            status = sink->stream->writeFrame(in);
            bytes = in.payload.size() + in.pcm.size() * 2;
        } else {
            if (!decodedThisFrame) {
                pcm = decodedPcm(in);
                decodedThisFrame = true;
            }
            if (!pcm)
                continue;
            if (sink->kind == Sink::Kind::Pcm) {
                StreamFrame out;
                out.pcm = *pcm;
                out.timestamp = uint32_t(uint64_t(in.timestamp) * sourceRate_ /
                                         std::max(1u, source_->mediaFormat().clockRate()));
                out.marker = in.marker;
                status = sink->stream->writeFrame(out);
                bytes = out.pcm.size() * 2;
            } else {
                status = writeEncoded(*sink, *pcm);
                frames = 0; // counted by writeEncoded
            }
        }
        if (!status) {
            failSink(*sink, status);
            continue;
        }
        if (frames) {
            std::lock_guard lock(statsMutex_);
            stats_.framesWritten += frames;
            stats_.bytesWritten += bytes;
        }
    }
}

MediaStatus MediaPatch::writeEncoded(Sink& sink, const std::vector<int16_t>& pcm)
{
    auto& encoder = *sink.encoder;
    const size_t frameSamples = encoder.frameSamples();
    sink.pending.insert(sink.pending.end(), pcm.begin(), pcm.end());
    size_t offset = 0;
    MediaStatus status;
    while (sink.pending.size() - offset >= frameSamples) {
        const std::span<const int16_t> frame(sink.pending.data() + offset, frameSamples);
        offset += frameSamples;
        const uint32_t timestamp = sink.timestamp;
        sink.timestamp += encoder.frameTimestampUnits();
        if (sink.silence.isSilent(frame, encoder.info().sampleRate)) {
            sink.wasSilent = true;
            std::lock_guard lock(statsMutex_);
            ++stats_.silentFrames;
            continue;
        }
        if (status = encoder.encode(frame, sink.payload); !status)
            break;
        StreamFrame out;
        out.payload = sink.payload;
        out.timestamp = timestamp;
        out.marker = sink.wasSilent;
        sink.wasSilent = false;
        if (status = sink.stream->writeFrame(out); !status)
            break;
        std::lock_guard lock(statsMutex_);
        ++stats_.framesWritten;
        stats_.bytesWritten += out.payload.size();
    }
    sink.pending.erase(sink.pending.begin(), sink.pending.begin() + long(offset));
    return status;
}

void MediaPatch::failSink(Sink& sink, const MediaStatus& status)
{
    sink.failed = true;
    if (stopping_ || status.error().kind == MediaError::Closed) {
        std::lock_guard lock(statsMutex_);
        --stats_.activeSinks;
        return;
    }
    logMediaError("media patch from " + source_->describe() + ": sink " + sink.stream->describe() +
                  " stopped: " + status.error().message);
    sink.stream->close();
    std::lock_guard lock(statsMutex_);
    ++stats_.sinkFailures;
    --stats_.activeSinks;
    stats_.lastError = status.error().message;
}

} // namespace voip
