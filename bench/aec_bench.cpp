// The echo canceller's cost: CPU time per second of audio at the two call rates, a far
// end and a microphone hearing its echo plus noise, 10 ms frames as the channel gives them.

#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "KxPhone/kxechocanceller.h"

namespace {

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void BM_EchoCancellerSecondOfAudio(benchmark::State& state)
{
    const unsigned rate = unsigned(state.range(0));
    const std::size_t frame = rate / 100;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 3000);
    std::vector<std::int16_t> far(rate), mic(rate);
    for (unsigned i = 0; i < rate; ++i) {
        far[i] = std::int16_t(std::clamp(noise(random), -32000.0, 32000.0));
        const double echo = i >= rate / 20 ? 0.4 * far[i - rate / 20] : 0;
        mic[i] = std::int16_t(echo + noise(random) / 30);
    }
    KxEchoCanceller canceller(rate, 256);
    std::vector<std::int16_t> out(frame);
    double cpu = 0;
    for (auto _ : state) {
        const double began = threadCpuSeconds();
        for (std::size_t at = 0; at + frame <= rate; at += frame) {
            canceller.far(std::span(far).subspan(at, frame));
            std::copy_n(mic.begin() + long(at), frame, out.begin());
            canceller.near(out);
        }
        cpu += threadCpuSeconds() - began;
    }
    state.counters["cpu_ms_per_s"] = 1000 * cpu / double(state.iterations());
    state.counters["core_percent"] = 100 * cpu / double(state.iterations());
}

} // namespace

BENCHMARK(BM_EchoCancellerSecondOfAudio)->Arg(8000)->Arg(16000)->Unit(benchmark::kMillisecond);
