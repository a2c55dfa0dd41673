// CPU per audio stream: encoding and decoding one second of audio for each codec (what one
// call direction pair costs), and silence detection over one second.
// Run: media_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <cmath>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "voip/media/codec.h"
#include "voip/media/silence.h"

namespace {

const char* const kFormats[] = {"G.711-ALaw-64k", "G.711-uLaw-64k", "G.722-64k"};

std::vector<int16_t> speechLike(unsigned rate)
{
    // A few harmonics with a slow loudness change: busier than a pure tone for ADPCM.
    std::vector<int16_t> out(rate);
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / rate;
        const double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t);
        double v = 0;
        for (int h = 1; h <= 5; ++h)
            v += std::sin(2 * std::numbers::pi * 180 * h * t) / h;
        out[i] = int16_t(6000 * envelope * v);
    }
    return out;
}

/// One iteration = one second of audio through the encoder and then the decoder.
void encodeDecodeSecond(benchmark::State& state, bool encode, bool decode)
{
    const char* format = kFormats[state.range(0)];
    auto encoder = voip::AudioEncoder::create(format);
    auto decoder = voip::AudioDecoder::create(format);
    if (!encoder || !decoder) {
        state.SkipWithError("codec unavailable");
        return;
    }
    const auto pcm = speechLike(encoder.value()->info().sampleRate);
    const size_t frame = encoder.value()->frameSamples();
    std::vector<std::vector<uint8_t>> payloads(pcm.size() / frame);
    for (size_t f = 0; f < payloads.size(); ++f)
        (void)encoder.value()->encode(std::span(pcm).subspan(f * frame, frame), payloads[f]);
    std::vector<int16_t> out;
    out.reserve(pcm.size());
    for (auto _ : state) {
        out.clear();
        for (size_t f = 0; f < payloads.size(); ++f) {
            if (encode)
                (void)encoder.value()->encode(std::span(pcm).subspan(f * frame, frame),
                                              payloads[f]);
            if (decode)
                (void)decoder.value()->decode(payloads[f], out);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(format);
}

void BM_EncodeDecodeSecond(benchmark::State& state)
{
    encodeDecodeSecond(state, true, true);
}
void BM_EncodeSecond(benchmark::State& state)
{
    encodeDecodeSecond(state, true, false);
}
void BM_DecodeSecond(benchmark::State& state)
{
    encodeDecodeSecond(state, false, true);
}

void BM_SilenceDetectSecond(benchmark::State& state)
{
    const auto pcm = speechLike(16000);
    voip::SilenceDetector detector({voip::SilenceMode::Adaptive, 0, 10, 400, 600});
    for (auto _ : state) {
        unsigned silent = 0;
        for (size_t f = 0; f + 320 <= pcm.size(); f += 320)
            silent += detector.isSilent(std::span(pcm).subspan(f, 320), 16000);
        benchmark::DoNotOptimize(silent);
    }
}

BENCHMARK(BM_EncodeDecodeSecond)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeSecond)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeSecond)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SilenceDetectSecond)->Unit(benchmark::kMicrosecond);

} // namespace
