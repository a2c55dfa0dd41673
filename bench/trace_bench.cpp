// Cost of a trace statement: off (the common case in a call), on but above the level,
// and written to a file with all options.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "voip/base/trace.h"

namespace {

void traceOff(benchmark::State& state)
{
    voip::Trace::close();
    int value = 0;
    for (auto _ : state) {
        VOIP_TRACE(1, "H323\tQueue forward to " << ++value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(traceOff);

void traceAboveLevel(benchmark::State& state)
{
    const std::string path = "/tmp/voip_trace_bench_" + std::to_string(::getpid()) + ".log";
    voip::Trace::initialise(2, path, 554);
    int value = 0;
    for (auto _ : state) {
        VOIP_TRACE(5, "RTP\tpacket " << ++value);
        benchmark::DoNotOptimize(value);
    }
    voip::Trace::close();
    std::remove(path.c_str());
}
BENCHMARK(traceAboveLevel);

void traceWritten(benchmark::State& state)
{
    const std::string path = "/tmp/voip_trace_bench_" + std::to_string(::getpid()) + ".log";
    voip::Trace::initialise(4, path, 554);
    int value = 0;
    for (auto _ : state)
        VOIP_TRACE(1, "H323\tQueue forward to " << ++value);
    voip::Trace::close();
    std::remove(path.c_str());
}
BENCHMARK(traceWritten);

} // namespace
