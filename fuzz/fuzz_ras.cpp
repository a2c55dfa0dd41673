// libFuzzer target: one UDP datagram of RAS.  What decodes must encode again and decode to
// the same value, and the fields the endpoint reads of an answer must read safely.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "voip/asn/codec.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto message = voip::h225::decodeRasMessage(std::span(data, size));
    if (!message.ok())
        return 0;
    auto encoded = voip::h225::encodeRasMessage(*message);
    check(encoded.ok());
    auto again = voip::h225::decodeRasMessage(*encoded);
    check(again.ok() && *again == *message);
    // What the endpoint reads of the gatekeeper's answers and requests.
    const auto& body = message->chosen();
    for (const char* field : {"rasAddress", "destCallSignalAddress"})
        if (body.has(field))
            (void)voip::h225::transportAddressOf(body[field]);
    for (const char* field : {"terminalAlias", "destinationInfo", "srcInfo", "endpointAlias"})
        if (body.has(field))
            for (const auto& alias : body[field].elements())
                (void)voip::h225::aliasToText(alias);
    for (const char* field : {"rejectReason", "callModel"})
        if (body.has(field))
            (void)body[field].choiceName();
    // A gatekeeper's bandwidth, disengage and information requests name their call.
    if (message->is("bandwidthRequest") || message->is("disengageRequest") ||
        message->is("infoRequest")) {
        if (body.has("bandWidth"))
            (void)body["bandWidth"].integer();
        if (body.has("conferenceID"))
            (void)voip::h225::guidOf(body["conferenceID"]);
        if (body.has("callIdentifier"))
            (void)voip::h225::guidOf(body["callIdentifier"]["guid"]);
        if (body.has("disengageReason"))
            (void)body["disengageReason"].choiceName();
        if (body.has("endpointIdentifier"))
            (void)body["endpointIdentifier"].text();
        (void)body["callReferenceValue"].integer();
    }
    // An admission's information response frequency.
    if (message->is("admissionConfirm") && body.has("irrFrequency"))
        (void)body["irrFrequency"].integer();
    return 0;
}
