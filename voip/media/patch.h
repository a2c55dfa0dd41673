#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "voip/media/codec.h"
#include "voip/media/silence.h"
#include "voip/media/stream.h"

namespace voip {

class LossConcealer;

/// Counters of a patch, taken together under its lock.
struct PatchStatistics
{
    uint64_t framesRead = 0;    ///< frames read from the source
    uint64_t framesWritten = 0; ///< frames written, all sinks together
    uint64_t silentFrames = 0;  ///< encoded frames held back by silence detection
    uint64_t bytesRead = 0;     ///< payload or PCM bytes read from the source
    uint64_t bytesWritten = 0;  ///< payload or PCM bytes written, all sinks together
    uint64_t decodeErrors = 0;  ///< source frames that did not decode (skipped)
    uint64_t sinkFailures = 0;  ///< sinks closed because a write failed
    unsigned activeSinks = 0;
    bool running = false;
    std::string lastError; ///< what ended the patch or a sink, empty when nothing did
};

/// Moves media from one source stream to one or more sink streams in a thread of its own,
/// converting on the way: PCM is encoded for an encoded sink (in the encoder's frames,
/// with silence detection), an encoded source is decoded for a PCM sink (lost frames are
/// filled with silence of the same length), equal formats pass unchanged, and two
/// different encoded formats are decoded and encoded again.
///
/// The thread ends when the source ends (EndOfStream), when the source fails (logged),
/// when every sink has failed (each failure logged, the failed sink closed while the
/// others go on), or on stop().
///
/// Thread use: addSink, setSilenceDetection and start are for the owner before start;
/// stop, isRunning and statistics may be called from any thread except the patch's own
/// (the ended callback runs on the patch's thread and must not call stop()).
class MediaPatch
{
public:
    explicit MediaPatch(std::shared_ptr<FrameStream> source);
    ~MediaPatch();
    MediaPatch(const MediaPatch&) = delete;
    MediaPatch& operator=(const MediaPatch&) = delete;

    /// Adds a sink; fails when no conversion from the source's format exists.  For an
    /// encoded sink fed from PCM, frameMs is the duration of each encoded frame.
    MediaStatus addSink(std::shared_ptr<FrameStream> sink, unsigned frameMs = 20);
    /// Silence detection for the PCM that is encoded (default: none).
    void setSilenceDetection(const SilenceParams& params);
    /// Called once on the patch's thread when the thread ends by itself, with the reason.
    void setEndedCallback(std::function<void(const MediaStatus&)> callback);

    /// Opens the streams that are not open yet and starts the thread.
    MediaStatus start();
    /// Ends the thread: closes the source (which wakes its read), joins the thread, then
    /// closes the sinks.  Idempotent.
    void stop();
    bool isRunning() const;

    PatchStatistics statistics() const;
    const std::shared_ptr<FrameStream>& source() const { return source_; }

private:
    struct Sink;
    void run();
    void writeToSinks(const StreamFrame& in);
    MediaStatus writeEncoded(Sink& sink, const std::vector<int16_t>& pcm);
    void failSink(Sink& sink, const MediaStatus& status);
    const std::vector<int16_t>* decodedPcm(const StreamFrame& in);

    std::shared_ptr<FrameStream> source_;
    const bool sourceIsPcm_;
    unsigned sourceRate_ = 0; ///< PCM sample rate of the source (after decoding)
    std::unique_ptr<AudioDecoder> decoder_;
    std::unique_ptr<LossConcealer> concealer_; ///< with the decoder
    std::vector<int16_t> decoded_;
    size_t lastDecodedSamples_ = 0;
    std::vector<std::unique_ptr<Sink>> sinks_;
    SilenceParams silence_;
    std::function<void(const MediaStatus&)> ended_;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex controlMutex_;       // serialises start() and stop()
    mutable std::mutex statsMutex_; // guards stats_
    PatchStatistics stats_;
};

} // namespace voip
