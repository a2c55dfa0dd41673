// libFuzzer target: a TCP byte stream of call signalling.  The TPKT splitter cuts it into
// packets; each is read as Q.931, its User-user PDU as H323-UserInformation, every H.245
// PDU inside as well; what decodes must encode again and decode to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/fuzzcheck.h"
#include "tools/kxdecode/decoder.h"
#include "voip/asn/codec.h"
#include "voip/h225/message.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"

using kxfuzz::check;

namespace {

void roundTrip(const voip::asn::Value& value)
{
    auto encoded = voip::asn::encode(value);
    check(encoded.ok());
    auto again = voip::asn::decode(*value.type(), *encoded);
    check(again.ok());
    check(*again == value);
}

void oneMessage(std::span<const std::uint8_t> bytes)
{
    auto message = voip::q931::decodeMessage(bytes);
    if (message.ok()) {
        auto encoded = voip::q931::encodeMessage(*message);
        check(encoded.ok());
        auto again = voip::q931::decodeMessage(*encoded);
        check(again.ok() && *again == *message);
        for (const auto& element : message->elements)
            (void)voip::q931::describeElement(element);
    }
    for (const auto& decoded : kx::decode::decodeCallSignalling(bytes)) {
        (void)kx::decode::describe(decoded);
        if (!decoded.error && decoded.value.type())
            roundTrip(decoded.value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> input(data, size);
    // The first octet picks the framing: even reads the rest as a stream of TPKT packets
    // arriving in two pieces, odd as one bare Q.931 message.
    if (input[0] & 1) {
        oneMessage(input.subspan(1));
        return 0;
    }
    voip::q931::TpktSplitter splitter(4096);
    const std::size_t half = input.size() / 2;
    splitter.feed(input.subspan(1, half > 0 ? half - 1 : 0));
    bool fedRest = false;
    for (int packets = 0; packets < 64; ++packets) {
        auto next = splitter.next();
        if (!next) {
            if (fedRest)
                break;
            splitter.feed(input.subspan(half > 0 ? half : 1));
            fedRest = true;
            continue;
        }
        if (!next->ok())
            break;
        oneMessage(next->value());
    }
    return 0;
}
