// H.264 at 720p on one core: encoding a picture (veryfast, zero latency, 1 Mbit/s),
// decoding it, cutting it into RTP packets and putting them back together; and the delay
// from a camera's picture to its decoded picture over RTP on loopback.
// Run: video_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "voip/device/video_fake.h"
#include "voip/media/h264payload.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/patch.h"
#include "voip/media/stream_rtp.h"
#include "voip/media/videocodec.h"
#include "voip/media/videostream.h"
#include "voip/rtp/rtpsession.h"

namespace {

voip::VideoFrame moving(unsigned n)
{
    voip::VideoFrame frame = voip::VideoFrame::black(1280, 720);
    uint8_t* y = frame.plane(0);
    for (unsigned row = 0; row < 720; ++row)
        for (unsigned column = 0; column < 1280; ++column)
            y[row * 1280 + column] = uint8_t((column + 3 * n) ^ (row + n));
    return frame;
}

std::vector<voip::VideoFrame> pictures()
{
    std::vector<voip::VideoFrame> frames;
    for (unsigned n = 0; n < 25; ++n)
        frames.push_back(moving(n));
    return frames;
}

void BM_Encode720p(benchmark::State& state)
{
    voip::H264EncoderOptions options;
    auto encoder = voip::H264Encoder::create(options);
    const auto frames = pictures();
    std::vector<uint8_t> accessUnit;
    std::size_t n = 0;
    for (auto _ : state) {
        encoder.value()->encode(frames[n++ % frames.size()], accessUnit);
        benchmark::DoNotOptimize(accessUnit.data());
    }
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Decode720p(benchmark::State& state)
{
    voip::H264EncoderOptions options;
    auto encoder = voip::H264Encoder::create(options);
    const auto frames = pictures();
    std::vector<std::vector<uint8_t>> stream(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        encoder.value()->encode(frames[i], stream[i]);
    auto decoder = voip::H264Decoder::create();
    std::vector<voip::VideoFrame> decoded;
    std::size_t n = 0;
    for (auto _ : state) {
        // Start again from the key frame at each round of the stream.
        if (n % stream.size() == 0)
            decoder = voip::H264Decoder::create();
        decoded.clear();
        decoder.value()->decode(stream[n++ % stream.size()], decoded);
        benchmark::DoNotOptimize(decoded.data());
    }
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

/// One 720p picture of each kind (a key frame, a following picture), packetised alone and
/// reassembled alone.
struct TwoPictures
{
    std::vector<uint8_t> key, next;
    TwoPictures()
    {
        voip::H264EncoderOptions options;
        auto encoder = voip::H264Encoder::create(options);
        encoder.value()->encode(moving(0), key);
        encoder.value()->encode(moving(1), next);
    }
};

void BM_Packetise720p(benchmark::State& state)
{
    const TwoPictures pictures;
    const auto& unit = state.range(0) ? pictures.key : pictures.next;
    voip::h264::Packetiser packetiser;
    std::vector<std::vector<uint8_t>> payloads;
    for (auto _ : state) {
        packetiser.packetise(unit, payloads);
        benchmark::DoNotOptimize(payloads.data());
    }
    state.counters["packets"] = double(payloads.size());
    state.counters["bytes"] = double(unit.size());
}

void BM_Depacketise720p(benchmark::State& state)
{
    const TwoPictures pictures;
    const auto& unit = state.range(0) ? pictures.key : pictures.next;
    voip::h264::Packetiser packetiser;
    std::vector<std::vector<uint8_t>> payloads;
    packetiser.packetise(unit, payloads);
    voip::h264::Depacketiser depacketiser;
    std::vector<uint8_t> picture;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    for (auto _ : state) {
        timestamp += 3600;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            depacketiser.add(payloads[i], sequence++, timestamp, i + 1 == payloads.size());
        uint32_t at = 0;
        depacketiser.takePicture(picture, at);
        benchmark::DoNotOptimize(picture.data());
    }
}

/// Records when each FakeVideo picture number is shown.
class ArrivalOutput : public voip::VideoOutput
{
public:
    void showFrame(const voip::VideoFrame& frame) override
    {
        if (auto number = voip::FakeVideoInput::readNumber(frame)) {
            std::lock_guard lock(mutex);
            arrivals.emplace(*number, std::chrono::steady_clock::now());
        }
    }
    std::mutex mutex;
    std::map<uint32_t, std::chrono::steady_clock::time_point> arrivals;
};

/// FakeVideo at 720p25 encoded, sent over RTP on 127.0.0.1, received, decoded and shown:
/// the median delay from when the camera gave a picture to when it was shown.  The camera
/// gives picture n at its opening + n/25 s.
void BM_CameraToScreenDelay720p(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        voip::rtp::SessionConfig config;
        config.localAddress = asio::ip::make_address("127.0.0.1");
        config.useJitterBuffer = false;
        std::shared_ptr<voip::rtp::RtpSession> a(voip::rtp::RtpSession::open(config).take());
        std::shared_ptr<voip::rtp::RtpSession> b(voip::rtp::RtpSession::open(config).take());
        a->setRemote(b->localAddress(), b->localRtpPort(), b->localRtcpPort());
        b->setRemote(a->localAddress(), a->localRtpPort(), a->localRtcpPort());
        voip::MediaFormat format =
            *voip::MediaFormatRegistry::global().find(voip::format::H264High);
        format.setIntegerOption(voip::option::FrameWidth, 1280);
        format.setIntegerOption(voip::option::FrameHeight, 720);
        const voip::VideoInputParams input; // 1280x720 at 25
        const voip::H264EncoderOptions encoding;
        auto camera = std::make_shared<voip::VideoSourceStream>(
            format, voip::VideoSessionId, voip::kFakeVideoDriver, input, encoding);
        auto screen = std::make_shared<ArrivalOutput>();
        auto display = std::make_shared<voip::VideoSinkStream>(format, voip::VideoSessionId,
                                                               screen, [] {});
        voip::MediaPatch out(camera);
        out.addSink(std::make_shared<voip::RtpMediaStream>(a, format, voip::VideoSessionId, false));
        voip::MediaPatch in(
            std::make_shared<voip::RtpMediaStream>(b, format, voip::VideoSessionId, true));
        in.addSink(display);
        in.start();
        const auto opened = Clock::now(); // the camera opens as its patch starts
        out.start();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        out.stop();
        in.stop();
        a->stop();
        b->stop();
        std::vector<double> delays;
        for (const auto& [number, shown] : screen->arrivals) {
            const auto taken = opened + std::chrono::microseconds(int64_t(number) * 40000);
            delays.push_back(std::chrono::duration<double, std::milli>(shown - taken).count());
        }
        std::sort(delays.begin(), delays.end());
        state.counters["pictures"] = double(delays.size());
        state.counters["median_delay_ms"] = delays.empty() ? -1 : delays[delays.size() / 2];
        state.counters["p90_delay_ms"] = delays.empty() ? -1 : delays[delays.size() * 9 / 10];
    }
}

void BM_PacketiseAndReassemble720p(benchmark::State& state)
{
    voip::H264EncoderOptions options;
    auto encoder = voip::H264Encoder::create(options);
    std::vector<uint8_t> key;
    encoder.value()->encode(moving(0), key);
    voip::h264::Packetiser packetiser;
    voip::h264::Depacketiser depacketiser;
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<uint8_t> picture;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    for (auto _ : state) {
        packetiser.packetise(key, payloads);
        timestamp += 3600;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            depacketiser.add(payloads[i], sequence++, timestamp, i + 1 == payloads.size());
        uint32_t at = 0;
        depacketiser.takePicture(picture, at);
        benchmark::DoNotOptimize(picture.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(key.size()));
}

} // namespace

BENCHMARK(BM_Encode720p)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Decode720p)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Packetise720p)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Depacketise720p)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CameraToScreenDelay720p)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketiseAndReassemble720p)->Unit(benchmark::kMicrosecond);
