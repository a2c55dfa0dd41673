// libFuzzer target: one UDP datagram of RAS.  What decodes must encode again and decode to
// the same value, and the fields the endpoint reads of an answer must read safely.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/fuzzcheck.h"
#include "voip/asn/codec.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto message = voip::h225::decodeRasMessage(std::span(data, size));
    if (!message.ok())
        return 0;
    auto encoded = voip::h225::encodeRasMessage(*message);
    check(encoded.ok());
    auto again = voip::h225::decodeRasMessage(*encoded);
    check(again.ok() && *again == *message);
    // What the endpoint reads of the gatekeeper's answers and requests, from whichever
    // message has the field.
    const auto& body = message->chosen();
    for (const char* field : {"rasAddress", "destCallSignalAddress"})
        if (body.find(field).present())
            (void)voip::h225::transportAddressOf(body.find(field));
    for (const char* field : {"terminalAlias", "destinationInfo", "srcInfo", "endpointAlias"})
        for (const auto& alias : body.find(field).elements())
            (void)voip::h225::aliasToText(alias);
    for (const char* field : {"rejectReason", "callModel"})
        (void)body.find(field).choiceName();
    // A gatekeeper's bandwidth, disengage and information requests name their call.
    if (message->is("bandwidthRequest") || message->is("disengageRequest") ||
        message->is("infoRequest")) {
        (void)body.find("bandWidth").integer();
        if (body.find("conferenceID").present())
            (void)voip::h225::guidOf(body.find("conferenceID"));
        if (body.find("callIdentifier").present())
            (void)voip::h225::guidOf(body.find("callIdentifier")["guid"]);
        (void)body.find("disengageReason").choiceName();
        (void)body.find("endpointIdentifier").text();
        (void)body.find("callReferenceValue").integer();
    }
    // An admission's information response frequency.
    if (message->is("admissionConfirm") && body.has("irrFrequency"))
        (void)body["irrFrequency"].integer();
    return 0;
}
