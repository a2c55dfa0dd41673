// Media streams and the patch: silence detection on the way, transcoding, a failing sink,
// clean stops.  (A real device that fails mid-call: soundstream_test.)
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "audiosignals.h"
#include "voip/media/patch.h"
#include "voip/media/stream.h"
#include "tests/support/eventually.h"

namespace voip {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t threadCount()
{
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

using kxtest::eventually;

MediaFormat codecFormat(const AudioCodecInfo& info)
{
    return MediaFormat(info.formatName, MediaType::Audio, info.rtpClockRate, info.payloadType);
}

/// A source that gives `frames` frames of a tone (or silence), then fails or ends.
class ScriptedSource final : public FrameStream
{
public:
    ScriptedSource(std::vector<std::vector<int16_t>> frames, MediaStatus atEnd)
        : FrameStream(pcmMediaFormat(8000), AudioSessionId, true)
        , frames_(std::move(frames))
        , atEnd_(std::move(atEnd))
    {}
    MediaStatus readFrame(StreamFrame& frame) override
    {
        if (!isOpen())
            return MediaFailure{MediaError::Closed, "closed"};
        if (next_ >= frames_.size())
            return atEnd_;
        frame = StreamFrame{};
        frame.pcm = frames_[next_];
        frame.timestamp = uint32_t(next_++ * 160);
        return MediaStatus();
    }

private:
    std::vector<std::vector<int16_t>> frames_;
    size_t next_ = 0;
    MediaStatus atEnd_;
};

/// A sink that keeps what it gets and fails after `failAfter` frames.
class RecordingSink final : public FrameStream
{
public:
    RecordingSink(const MediaFormat& format, size_t failAfter = SIZE_MAX)
        : FrameStream(format, AudioSessionId, false)
        , failAfter_(failAfter)
    {}
    MediaStatus writeFrame(const StreamFrame& frame) override
    {
        std::lock_guard lock(mutex);
        if (frames.size() >= failAfter_)
            return MediaFailure{MediaError::DeviceFailure, "device unplugged"};
        frames.push_back(frame);
        return MediaStatus();
    }
    std::mutex mutex;
    std::vector<StreamFrame> frames;

private:
    size_t failAfter_;
};

std::vector<std::vector<int16_t>> speechPattern(unsigned quiet, unsigned loud, unsigned tail)
{
    std::vector<std::vector<int16_t>> frames;
    const auto tone = test::chirp(8000, 300, 900, loud * 0.02, 9000);
    for (unsigned i = 0; i < quiet; ++i)
        frames.emplace_back(160, int16_t(i % 2 ? 20 : -20));
    for (unsigned i = 0; i < loud; ++i)
        frames.emplace_back(tone.begin() + i * 160, tone.begin() + (i + 1) * 160);
    for (unsigned i = 0; i < tail; ++i)
        frames.emplace_back(160, int16_t(i % 2 ? 20 : -20));
    return frames;
}

TEST(MediaPatch, SilenceDetectionHoldsBackSilentFramesAndMarksTalkSpurts)
{
    auto source = std::make_shared<ScriptedSource>(speechPattern(40, 20, 40),
                                                   MediaFailure{MediaError::EndOfStream, "done"});
    auto sink = std::make_shared<RecordingSink>(codecFormat(*findAudioCodec("G.711-uLaw-64k")));
    MediaPatch patch(source);
    ASSERT_TRUE(patch.addSink(sink));
    patch.setSilenceDetection(SilenceParams{SilenceMode::Adaptive, 0, 10, 400, 600});
    ASSERT_TRUE(patch.start());
    ASSERT_TRUE(eventually([&] { return !patch.isRunning(); }));
    patch.stop();

    const auto stats = patch.statistics();
    EXPECT_EQ(stats.framesRead, 100u);
    EXPECT_EQ(stats.silentFrames + stats.framesWritten, 100u);
    // Each silence longer than the deadband is held back after its first 400 ms (20 frames).
    EXPECT_EQ(stats.framesWritten, 19u + 20u + 19u);
    std::lock_guard lock(sink->mutex);
    ASSERT_EQ(sink->frames.size(), stats.framesWritten);
    EXPECT_TRUE(sink->frames.front().marker);
    EXPECT_FALSE(sink->frames[1].marker);
    // The talk spurt starts with a marker and its timestamp jumps over the held-back frames.
    EXPECT_TRUE(sink->frames[19].marker);
    EXPECT_EQ(sink->frames[19].timestamp, 40u * 160);
    EXPECT_EQ(sink->frames[18].timestamp, 18u * 160);
}

TEST(MediaPatch, AFailingSinkIsClosedWhileTheOtherSinkGoesOn)
{
    auto source = std::make_shared<ScriptedSource>(speechPattern(0, 30, 0),
                                                   MediaFailure{MediaError::EndOfStream, "done"});
    auto pcm = pcmMediaFormat(8000);
    auto failing = std::make_shared<RecordingSink>(pcm, 5);
    auto healthy = std::make_shared<RecordingSink>(pcm);
    MediaPatch patch(source);
    ASSERT_TRUE(patch.addSink(failing));
    ASSERT_TRUE(patch.addSink(healthy));
    ASSERT_TRUE(patch.start());
    ASSERT_TRUE(eventually([&] { return !patch.isRunning(); }));
    const auto stats = patch.statistics();
    EXPECT_EQ(stats.sinkFailures, 1u);
    EXPECT_EQ(stats.activeSinks, 1u);
    EXPECT_NE(stats.lastError.find("unplugged"), std::string::npos);
    EXPECT_FALSE(failing->isOpen());
    EXPECT_TRUE(healthy->isOpen());
    EXPECT_EQ(healthy->frames.size(), 30u);
    patch.stop();
    EXPECT_FALSE(healthy->isOpen());
}

TEST(MediaPatch, StopWakesABlockedSourceAndLeavesNoThread)
{
    const size_t before = threadCount();
    {
        auto [sink, source] = makeStreamPipe(pcmMediaFormat(8000), AudioSessionId);
        auto out = std::make_shared<RecordingSink>(pcmMediaFormat(8000));
        MediaPatch patch(source);
        ASSERT_TRUE(patch.addSink(out));
        bool endedCalled = false;
        patch.setEndedCallback([&](const MediaStatus&) { endedCalled = true; });
        ASSERT_TRUE(patch.start());
        EXPECT_EQ(threadCount(), before + 1);
        std::this_thread::sleep_for(20ms);
        const auto start = std::chrono::steady_clock::now();
        patch.stop(); // the source waits for frames that never come
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_FALSE(patch.isRunning());
        EXPECT_FALSE(endedCalled) << "stop() is not an ending of its own";
        patch.stop();
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(MediaPatch, TranscodesAndFillsLostFrames)
{
    const auto alaw = codecFormat(*findAudioCodec("G.711-ALaw-64k"));
    const auto ulaw = codecFormat(*findAudioCodec("G.711-uLaw-64k"));
    auto [network, received] = makeStreamPipe(alaw, AudioSessionId);
    auto speaker = std::make_shared<RecordingSink>(pcmMediaFormat(8000));
    auto relay = std::make_shared<RecordingSink>(ulaw);
    MediaPatch patch(received);
    ASSERT_TRUE(patch.addSink(speaker));
    ASSERT_TRUE(patch.addSink(relay));
    ASSERT_TRUE(patch.start());
    ASSERT_TRUE(network->open());

    const auto tone = test::chirp(8000, 300, 1200, 0.1, 8000);
    auto encoder = AudioEncoder::create("G.711-ALaw-64k");
    ASSERT_TRUE(encoder);
    for (uint32_t i = 0; i < 5; ++i) {
        StreamFrame frame;
        ASSERT_TRUE(encoder.value()->encode(std::span(tone).subspan(i * 160, 160), frame.payload));
        frame.timestamp = i * 160;
        frame.lostBefore = i == 3 ? 2 : 0; // two packets lost before the fourth
        ASSERT_TRUE(network->writeFrame(frame));
    }
    network->close();
    ASSERT_TRUE(eventually([&] { return !patch.isRunning(); }));
    patch.stop();

    std::lock_guard lock(speaker->mutex);
    ASSERT_EQ(speaker->frames.size(), 5u);
    EXPECT_EQ(speaker->frames[3].pcm.size(), 3u * 160) << "two frames filled, then the frame";
    EXPECT_FALSE(std::all_of(speaker->frames[3].pcm.begin(), speaker->frames[3].pcm.begin() + 80,
                             [](int16_t s) { return s == 0; }))
        << "the sound goes on into the gap";
    EXPECT_EQ(speaker->frames[4].pcm.size(), 160u);
    EXPECT_EQ(speaker->frames[4].timestamp, 4u * 160);

    // The u-law copy decodes to the same sound as the A-law original.
    std::lock_guard relayLock(relay->mutex);
    ASSERT_EQ(relay->frames.size(), 7u) << "five frames and the two filled";
    auto decoder = AudioDecoder::create("G.711-uLaw-64k");
    std::vector<int16_t> first;
    ASSERT_TRUE(decoder.value()->decode(relay->frames[0].payload, first));
    std::vector<int16_t> original(tone.begin(), tone.begin() + 160);
    EXPECT_GT(test::snrDb(original, first, 0), 25);
}

TEST(MediaPatch, RefusesConversionsItCannotMake)
{
    auto source = std::make_shared<ScriptedSource>(speechPattern(0, 1, 0), MediaStatus{});
    MediaPatch patch(source);
    EXPECT_EQ(patch.addSink(std::make_shared<RecordingSink>(pcmMediaFormat(16000))).error().kind,
              MediaError::Unsupported);
    EXPECT_EQ(
        patch.addSink(std::make_shared<RecordingSink>(codecFormat(*findAudioCodec("G.722-64k"))))
            .error()
            .kind,
        MediaError::Unsupported)
        << "8 kHz PCM cannot feed G.722";
    EXPECT_EQ(patch
                  .addSink(std::make_shared<RecordingSink>(
                      MediaFormat("H.264-High", MediaType::Video, 90000, 96)))
                  .error()
                  .kind,
              MediaError::NotFound);
    EXPECT_FALSE(patch.addSink(source)) << "a source is no sink";
    EXPECT_FALSE(patch.start()) << "no sinks";
}

TEST(StreamPipe, KeepsOrderDropsTheOldestWhenFullAndEndsAfterTheSinkCloses)
{
    auto [sink, source] = makeStreamPipe(pcmMediaFormat(8000), AudioSessionId, 3);
    ASSERT_TRUE(sink->open() && source->open());
    for (uint32_t i = 0; i < 5; ++i) {
        StreamFrame f;
        f.timestamp = i;
        ASSERT_TRUE(sink->writeFrame(f));
    }
    EXPECT_EQ(droppedFrames(*sink), 2u);
    sink->close();
    StreamFrame f;
    for (uint32_t expected : {2u, 3u, 4u}) {
        ASSERT_TRUE(source->readFrame(f));
        EXPECT_EQ(f.timestamp, expected);
    }
    EXPECT_EQ(source->readFrame(f).error().kind, MediaError::EndOfStream);
    source->close();
    EXPECT_EQ(source->readFrame(f).error().kind, MediaError::Closed);
}

} // namespace
} // namespace voip
