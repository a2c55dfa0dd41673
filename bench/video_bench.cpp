// H.264 at 720p on one core: encoding a picture (veryfast, zero latency, 1 Mbit/s),
// decoding it, and cutting it into RTP packets and back.
// Run: video_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <vector>

#include <benchmark/benchmark.h>

#include "voip/media/h264payload.h"
#include "voip/media/videocodec.h"

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

BENCHMARK(BM_Encode720p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode720p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketiseAndReassemble720p)->Unit(benchmark::kMicrosecond);
