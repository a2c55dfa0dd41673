// Video over a lossy path, in process: FakeVideo 640x360 at 25 pictures a second, encoded,
// sent over real RTP sessions on 127.0.0.1 through an impaired relay, decoded and checked
// picture by picture (the pattern's number read back and compared with what was drawn).
// For each condition it prints the time without a correct new picture, the longest such
// gap, the damaged pictures shown, the key frames asked for and sent, what arrived and the
// rate the far end's reports allowed at the end.  The sender follows RTCP as in a call:
// reported loss brings a key frame, and the rate follows what the path carries.  Then audio: a
// G.711 tone through the same kind of path into the jitter buffer and the decoder, each
// 20 ms of what is played compared with the tone sent, and the length of what was played
// against the length sent.
//
//   build/bench/network_quality [SECONDS [CONDITION]]
//     (default 10 s a condition; CONDITION: only those whose name holds it)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <cstdlib>
#include <functional>
#include <string>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "tests/support/impairedrtp.h"
#include "tests/voip/media/picturequality.h"
#include "voip/device/video_fake.h"
#include "voip/device/videoinput.h"
#include "voip/media/codec.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/patch.h"
#include "voip/media/stream_rtp.h"
#include "voip/media/videostream.h"
#include "voip/rtp/rtpsession.h"

namespace {

using namespace std::chrono_literals;
using namespace voip;
using Clock = std::chrono::steady_clock;

/// What was shown: correct new pictures' times, and damaged pictures.
class Screen : public VideoOutput
{
public:
    void showFrame(const VideoFrame& frame) override
    {
        const auto number = test::cleanPatternNumber(frame);
        std::lock_guard lock(mutex);
        if (!number) {
            ++damaged;
        } else if (!last || *number > *last) {
            last = number;
            fresh.push_back(Clock::now());
        }
    }
    std::mutex mutex;
    std::optional<std::uint32_t> last;
    std::vector<Clock::time_point> fresh;
    unsigned damaged = 0;
};

/// The test pattern with a fine grain of noise on it, new in every picture: a camera's
/// sensor noise, which makes the encoder use all the bit rate it is given (the bare pattern
/// needs a tenth of it), while the picture stays the pattern within a few dB.
class GrainyCamera final : public VideoInputDevice
{
public:
    std::string driverName() const override { return "GrainyFakeVideo"; }
    MediaStatus open(const VideoInputParams& params) override { return pattern_.open(params); }
    MediaStatus readFrame(VideoFrame& frame) override
    {
        auto status = pattern_.readFrame(frame);
        if (!status)
            return status;
        uint8_t* luma = frame.plane(0);
        for (std::size_t i = 0; i < std::size_t(frame.width) * frame.height; ++i)
            luma[i] = uint8_t(std::clamp(int(luma[i]) + int(random_() % 9) - 4, 0, 255));
        return status;
    }
    void close() override { pattern_.close(); }
    bool isOpen() const override { return pattern_.isOpen(); }

private:
    FakeVideoInput pattern_;
    std::minstd_rand random_{7};
};

struct Condition
{
    const char* name;
    int lossPercent;
    std::chrono::milliseconds outage{0};
    std::chrono::milliseconds outageEvery{0};
    std::uint64_t rateCap = 0;           ///< bit/s
    bool asks = true;                    ///< the receiver asks for key frames
    bool repair = true;                  ///< lost packets are asked for and sent again
    bool grainy = false;                 ///< the pattern with sensor noise (all the bit rate used)
    std::chrono::milliseconds jitter{0}; ///< audio only: each packet up to this late
};

void run(const Condition& condition, std::chrono::seconds length)
{
    MediaFormat format = *MediaFormatRegistry::global().find(format::H264High);
    format.setIntegerOption(option::FrameWidth, 640);
    format.setIntegerOption(option::FrameHeight, 360);
    rtp::SessionConfig config;
    config.useJitterBuffer = false;
    config.rtcpInterval = rtp::SessionConfig::SteeringRtcpInterval;
    config.repairLoss = condition.repair;
    kxtest::ImpairedRtp pair;
    if (!pair.open(config)) {
        std::printf("%-28s no RTP sessions\n", condition.name);
        return;
    }
    const auto sending = pair.sender;
    const auto receiving = pair.receiver;
    kxtest::UdpImpairer& path = *pair.path;
    path.lossPercent = condition.lossPercent;
    path.outage = condition.outage;
    path.outageEvery = condition.outageEvery;
    path.rateCap = condition.rateCap;
    VideoInputParams input;
    input.width = 640;
    input.height = 360;
    input.frameRate = 25;
    H264EncoderOptions encoding;
    encoding.bitRate = 1'000'000;
    auto camera =
        condition.grainy
            ? std::make_shared<VideoSourceStream>(
                  format, VideoSessionId,
                  []() -> MediaResult<std::unique_ptr<VideoInputDevice>> {
                      return std::unique_ptr<VideoInputDevice>(std::make_unique<GrainyCamera>());
                  },
                  input, encoding, 1200)
            : std::make_shared<VideoSourceStream>(format, VideoSessionId, kFakeVideoDriver, input,
                                                  encoding, 1200);
    // The sender's side of RTCP: reported loss brings a key frame, and the rate follows
    // what the path carries, as in a call.
    sending->setLossHandler([camera](std::uint32_t) { camera->requestKeyFrame(); });
    sending->adaptSendRate(encoding.bitRate, [camera](std::uint32_t rate, rtp::RateReason) {
        camera->setPathRate(rate);
    });
    std::function<void()> ask;
    if (condition.asks)
        ask = [camera] { camera->requestKeyFrame(); };
    auto screen = std::make_shared<Screen>();
    auto display = std::make_shared<VideoSinkStream>(format, VideoSessionId, screen, ask);
    MediaPatch out(camera);
    MediaPatch in(std::make_shared<RtpMediaStream>(receiving, format, VideoSessionId, true));
    if (!out.addSink(std::make_shared<RtpMediaStream>(sending, format, VideoSessionId, false)) ||
        !in.addSink(display) || !in.start() || !out.start()) {
        std::printf("%-28s cannot start\n", condition.name);
        return;
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(length);
    const auto end = Clock::now();
    out.stop();
    in.stop();
    sending->stop();
    receiving->stop();

    const auto sent = sending->statistics().transmit;
    std::lock_guard lock(screen->mutex);
    // Time without a correct new picture: every gap between two beyond two picture times.
    // Through a cap, the first 3 s are the sender finding the path's rate.
    const auto settled = start + (condition.rateCap ? 3s : 1s);
    double without = 0, longest = 0;
    auto previous = settled;
    for (auto time : screen->fresh) {
        if (time < previous)
            continue;
        const double gap = std::chrono::duration<double>(time - previous).count();
        if (gap > 0.08) {
            without += gap - 0.04;
            longest = std::max(longest, gap);
        }
        previous = time;
    }
    const double tail = std::chrono::duration<double>(end - previous).count();
    if (tail > 0.08) {
        without += tail - 0.04;
        longest = std::max(longest, tail);
    }
    const auto repaired = sending->statistics().repairsSent;
    const double judged = std::chrono::duration<double>(end - settled).count();
    std::printf(
        "%-30s %5.2f s of %4.1f (correct %5.1f %%)  longest %5.2f s  damaged shown %4u  "
        "asked %3llu  key frames %3llu  repaired %3llu  arrived %4.0f kbit/s  "
        "allowed %4u kbit/s (%s)\n",
        condition.name, without, judged, 100 * (1 - without / judged), longest, screen->damaged,
        (unsigned long long)display->picturesAskedFor(),
        (unsigned long long)camera->keyFramesSent(), (unsigned long long)repaired,
        double(path.passedBytes()) * 8 / 1000 / std::chrono::duration<double>(length).count(),
        sent.allowedBitRate / 1000, std::string(rtp::rateReasonName(sent.rateReason)).c_str());
}

/// What the loudspeaker got.
class Loudspeaker : public FrameStream
{
public:
    Loudspeaker()
        : FrameStream(pcmMediaFormat(8000), AudioSessionId, false)
    {}
    MediaStatus writeFrame(const StreamFrame& frame) override
    {
        std::lock_guard lock(mutex);
        pcm.insert(pcm.end(), frame.pcm.begin(), frame.pcm.end());
        return MediaStatus();
    }
    std::mutex mutex;
    std::vector<int16_t> pcm;
};

int16_t toneAt(std::size_t sample)
{
    return int16_t(
        std::lround(8000 * std::sin(2 * std::numbers::pi * 440 * double(sample) / 8000)));
}

void runAudio(const Condition& condition, std::chrono::seconds length)
{
    kxtest::ImpairedRtp pair;
    auto encoder = AudioEncoder::create("G.711-uLaw-64k");
    if (!pair.open(rtp::SessionConfig(), 99) || !encoder)
        return;
    const auto a = pair.sender;
    const auto b = pair.receiver;
    kxtest::UdpImpairer& path = *pair.path;
    path.lossPercent = condition.lossPercent;
    path.outage = condition.outage;
    path.outageEvery = condition.outageEvery;
    path.jitter = condition.jitter;
    const auto format = *MediaFormatRegistry::global().find("G.711-uLaw-64k");
    auto speaker = std::make_shared<Loudspeaker>();
    MediaPatch in(std::make_shared<RtpMediaStream>(b, format, AudioSessionId, true));
    if (!in.addSink(speaker) || !in.start())
        return;
    const std::size_t frames = std::size_t(length.count()) * 50;
    auto next = Clock::now();
    std::vector<int16_t> pcm(160);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::size_t i = 0; i < 160; ++i)
            pcm[i] = toneAt(frame * 160 + i);
        std::vector<uint8_t> payload;
        (void)encoder.value()->encode(pcm, payload);
        a->send(payload, uint32_t(frame * 160), frame == 0, 0);
        next += 20ms;
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(400ms); // what the jitter buffer still holds
    const auto buffer = b->statistics().jitterBuffer;
    in.stop();
    a->stop();
    b->stop();

    std::lock_guard lock(speaker->mutex);
    const auto& played = speaker->pcm;
    // Where the tone starts in what was played: the first loud sample, then the tone's
    // phase there (the first frame may be the one lost).
    std::size_t offset = 0;
    while (offset < played.size() && std::abs(played[offset]) < 500)
        ++offset;
    std::size_t bestShift = 0;
    double bestError = 1e300;
    for (std::size_t shift = 0; shift < 8000; ++shift) {
        double error = 0;
        for (std::size_t i = 0; i < 160 && offset + i < played.size(); ++i)
            error += std::pow(double(played[offset + i]) - toneAt(shift + i), 2);
        if (error < bestError) {
            bestError = error;
            bestShift = shift;
        }
    }
    // Compared over the length sent: what the loudspeaker gets after the sender stopped
    // is the end of the call being filled, not the call.
    const std::size_t until = std::min(played.size(), offset + frames * 160);
    std::size_t good = 0, compared = 0;
    for (std::size_t at = offset; at + 160 <= until; at += 160, ++compared) {
        double error = 0, signal = 0;
        for (std::size_t i = 0; i < 160; ++i) {
            const double expected = toneAt(bestShift + (at - offset) + i);
            error += std::pow(double(played[at + i]) - expected, 2);
            signal += expected * expected;
        }
        good += 10 * std::log10(signal / std::max(error, 1.0)) > 10;
    }
    std::printf("%-30s audio good %5.1f %% of %zu frames  played %5.2f s of %5.2f s sent  "
                "buffer target %3.0f ms, mean added %3.0f ms, late %3llu\n",
                condition.name, compared ? 100.0 * double(good) / double(compared) : 0.0, compared,
                double(until - offset) / 8000.0, double(frames) / 50.0, buffer.targetDelayMs,
                buffer.meanAddedDelayMs, (unsigned long long)buffer.late);
}

} // namespace

int main(int argc, char** argv)
{
    const std::chrono::seconds length(argc > 1 ? std::max(3, std::atoi(argv[1])) : 10);
    const Condition conditions[] = {
        {"no loss", 0},
        {"2 % loss", 2},
        {"5 % loss", 5},
        {"10 % loss", 10},
        {"0.5 s outage every 2 s", 0, 500ms, 2000ms},
        {"grainy, no loss", 0, 0ms, 0ms, 0, true, true, true},
        {"grainy, 5 % loss", 5, 0ms, 0ms, 0, true, true, true},
        {"grainy, 256 kbit/s cap", 0, 0ms, 0ms, 256'000, true, true, true},
        {"grainy, 256 kbit/s, no repair", 0, 0ms, 0ms, 256'000, true, false, true},
        {"5 % loss, never asks", 5, 0ms, 0ms, 0, false},
        {"10 % loss, never asks", 10, 0ms, 0ms, 0, false},
        {"outages, never asks", 0, 500ms, 2000ms, 0, false},
        // A far end that neither asks for pictures nor for packets (other stacks).
        {"5 % loss, no asks, no repair", 5, 0ms, 0ms, 0, false, false},
        {"10 % loss, no asks, no repair", 10, 0ms, 0ms, 0, false, false},
        // Audio through a path whose delay varies by up to 40 ms (which reorders).
        {"40 ms jitter", 0, 0ms, 0ms, 0, true, true, false, 40ms},
        {"40 ms jitter, 5 % loss", 5, 0ms, 0ms, 0, true, true, false, 40ms},
    };
    const std::string only = argc > 2 ? argv[2] : "";
    const auto chosen = [&](const Condition& condition) {
        return std::string(condition.name).find(only) != std::string::npos;
    };
    for (const auto& condition : conditions)
        if (chosen(condition) && condition.jitter.count() == 0)
            run(condition, length);
    for (const auto& condition : conditions)
        if (chosen(condition) && condition.asks && condition.repair && !condition.rateCap &&
            !condition.grainy)
            runAudio(condition, length);
    return 0;
}
