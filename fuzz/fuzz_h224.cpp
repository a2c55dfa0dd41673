// libFuzzer target: an H.224 RTP payload as a far end sends it, read as a bare frame, as
// an HDLC bit stream and as each kind of client data, then handed to a call's H.224
// handler (CME answers and camera control).  Whatever decodes must encode again to the
// same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/fuzzcheck.h"
#include "voip/h224/h224frame.h"
#include "voip/h224/h224handler.h"
#include "voip/h224/h281.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace voip::h224;
    const std::span<const std::uint8_t> input(data, size);
    if (auto frame = decodeFrame(input)) {
        check(frame->data.size() <= MaxClientData);
        check(decodeFrame(encodeFrame(*frame)) == frame);
    }
    if (auto frames = decodeHdlc(input)) {
        for (const auto& octets : *frames) {
            auto again = decodeHdlc(encodeHdlc(octets));
            check(again && again->size() == 1 && again->front() == octets);
        }
    }
    // The same octets as client data of each client.
    if (auto cme = decodeCmeMessage(input))
        check(decodeCmeMessage(encodeCmeMessage(*cme)).has_value());
    if (auto message = decodeFeccMessage(input))
        check(decodeFeccMessage(encodeFeccMessage(*message)) == message);
    if (auto capabilities = decodeFeccCapabilities(input))
        check(decodeFeccCapabilities(encodeFeccCapabilities(*capabilities)) == capabilities);

    // A call's handler with no channel to answer on (a fresh one, so that its rate limit
    // does not hide the input): it must take or refuse, never misbehave.
    auto handler = H224Handler::create({}, nullptr);
    handler->receive(input);
    return 0;
}
