// Encode and decode of a 30-entry TerminalCapabilitySet, the largest message of call
// set-up. Run: h245_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "voip/h245/capabilities.h"
#include "voip/h245/message.h"

namespace {

using namespace voip::h245;

CapabilitySet thirtyEntrySet()
{
    CapabilitySet set;
    const CapabilityType audio[] = {CapabilityType::G722, CapabilityType::G711Alaw,
                                    CapabilityType::G711Ulaw};
    for (int i = 0; i < 6; ++i) {
        Capability c;
        c.type = audio[i % 3];
        c.framesPerPacket = i < 3 ? 20 : 30;
        set.capabilities.push_back(c);
    }
    const std::uint8_t levels[] = {29, 43, 64, 71, 85, 113};
    for (int i = 0; i < 12; ++i) {
        Capability c;
        c.type = i < 10 ? CapabilityType::H264 : CapabilityType::H239Content;
        c.maxBitRate = 5120 + 1024 * static_cast<std::uint32_t>(i);
        c.h264.profile = i % 2 ? 8 : 64;
        c.h264.level = levels[i % 6];
        c.h264.customMaxMbps = 490;
        c.h264.customMaxFs = 32;
        set.capabilities.push_back(c);
    }
    for (int i = 0; i < 4; ++i) {
        Capability c;
        c.type = i < 2 ? CapabilityType::H263 : CapabilityType::H261;
        c.h263.qcifMpi = 1;
        c.h263.cifMpi = 1;
        c.h263.maxBitRate = 3840;
        c.h261 = {1, 1, false, 3840, false};
        set.capabilities.push_back(c);
    }
    Capability control;
    control.type = CapabilityType::H239Control;
    set.capabilities.push_back(control);
    Capability fecc;
    fecc.type = CapabilityType::H224;
    fecc.direction = CapabilityDirection::ReceiveAndTransmit;
    fecc.maxBitRate = 48;
    set.capabilities.push_back(fecc);
    for (const char* name : {"basicString", "iA5String", "generalString", "dtmf", "hookflash",
                             "extendedAlphanumeric"}) {
        Capability c;
        c.type = CapabilityType::UserInput;
        c.direction = CapabilityDirection::ReceiveAndTransmit;
        c.userInputName = name;
        set.capabilities.push_back(c);
    }
    return set;
}

void encodeTerminalCapabilitySet(benchmark::State& state)
{
    const voip::asn::Value message = buildTerminalCapabilitySet(thirtyEntrySet());
    for (auto _ : state) {
        auto bytes = encodeMessage(message);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(encodeTerminalCapabilitySet);

void decodeTerminalCapabilitySet(benchmark::State& state)
{
    const auto bytes = encodeMessage(buildTerminalCapabilitySet(thirtyEntrySet())).value();
    state.counters["octets"] = static_cast<double>(bytes.size());
    for (auto _ : state) {
        auto message = decodeMessage(bytes);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(decodeTerminalCapabilitySet);

// The helper layer on top: the typed set built into a value, and a decoded value read back.
void buildTerminalCapabilitySetValue(benchmark::State& state)
{
    const CapabilitySet set = thirtyEntrySet();
    for (auto _ : state) {
        auto message = buildTerminalCapabilitySet(set);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(buildTerminalCapabilitySetValue);

void readTerminalCapabilitySetValue(benchmark::State& state)
{
    const voip::asn::Value message = buildTerminalCapabilitySet(thirtyEntrySet());
    for (auto _ : state) {
        auto set = readTerminalCapabilitySet(message);
        benchmark::DoNotOptimize(set);
    }
}
BENCHMARK(readTerminalCapabilitySetValue);

} // namespace
