// libFuzzer target: H.245 PDUs as a separate channel, a tunnel or a fastStart element
// carries them.  What decodes must encode again, decode to the same value and print.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/fuzzcheck.h"
#include "tools/kxdecode/decoder.h"
#include "voip/asn/codec.h"
#include "voip/asn/printer.h"
#include "voip/h245/message.h"
#include "voip/h245/schema.h"

using kxfuzz::check;

namespace {

void roundTrip(const voip::asn::Value& value)
{
    auto encoded = voip::asn::encode(value);
    check(encoded.ok());
    auto again = voip::asn::decode(*value.type(), *encoded);
    check(again.ok());
    check(*again == value);
    (void)voip::asn::toText(value, "message");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    // The first octet picks the type: even MultimediaSystemControlMessage (possibly several
    // back to back), odd OpenLogicalChannel as fastStart carries it.
    if (data[0] & 1) {
        const voip::asn::Type* type = voip::h245::findType("OpenLogicalChannel");
        check(type != nullptr);
        auto value = voip::asn::decode(*type, input);
        if (value.ok())
            roundTrip(*value);
        return 0;
    }
    for (const auto& message : kx::decode::decodeH245(input)) {
        (void)kx::decode::describe(message);
        if (!message.error) {
            roundTrip(message.value);
            (void)voip::h245::kindOf(message.value);
        }
    }
    return 0;
}
