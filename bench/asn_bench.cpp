// Encoding and decoding a typical H.225.0 Setup (aligned PER).
#include <benchmark/benchmark.h>

#include "voip/asn/codec.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"

namespace {

using namespace voip;

// What the client sends: aliases, our vendor, no fastStart, tunnelling, identifiers.
asn::Value typicalSetup()
{
    asn::Value message = h225::newUserInformation("setup");
    asn::Value& setup = h225::messageBody(message);
    h225::setAlias(setup.field("sourceAddress").append(), "Kestrovia User");
    h225::setAlias(setup.field("destinationAddress").append(), "room1@example.com",
                   h225::AliasKind::Url);
    h225::setEndpointType(setup.field("sourceInfo"));
    h225::setGuid(setup.field("conferenceID"), h225::newGuid());
    setup.field("conferenceGoal").choose("create");
    setup.field("callType").choose("pointToPoint");
    h225::setGuid(setup.field("callIdentifier").field("guid"), h225::newGuid());
    h225::setTransportAddress(setup.field("sourceCallSignalAddress"),
                              *h225::IpAddressPort::parse("192.168.1.20:1720"));
    setup.field("maintainConnection").setBoolean(true);
    h225::uuPdu(message).field("h245Tunnelling").setBoolean(true);
    return message;
}

void BM_EncodeSetup(benchmark::State& state)
{
    const asn::Value message = typicalSetup();
    std::vector<std::uint8_t> out;
    out.reserve(256);
    for (auto _ : state) {
        out.clear();
        auto status = asn::encode(message, out);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["octets"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodeSetup);

void BM_DecodeSetup(benchmark::State& state)
{
    const auto bytes = h225::encodeUserInformation(typicalSetup());
    if (!bytes) {
        state.SkipWithError(bytes.error().toString().c_str());
        return;
    }
    const asn::Type* type = h225::findType("H323-UserInformation");
    for (auto _ : state) {
        auto value = asn::decode(*type, *bytes);
        benchmark::DoNotOptimize(value);
    }
    state.counters["octets"] = static_cast<double>(bytes->size());
}
BENCHMARK(BM_DecodeSetup);

// Building the value by name as the H.323 layer does, then encoding it.
void BM_BuildAndEncodeSetup(benchmark::State& state)
{
    for (auto _ : state) {
        auto bytes = h225::encodeUserInformation(typicalSetup());
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_BuildAndEncodeSetup);

} // namespace
