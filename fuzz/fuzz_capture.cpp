// libFuzzer target: a capture file as kxdecode reads it (pcap or pcapng, link and IP
// layers, TCP reassembly, TPKT, Q.931, H.225.0, RAS and H.245).
#include <cstddef>
#include <cstdint>
#include <span>

#include "tools/common/capture.h"
#include "tools/kxdecode/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto capture = kx::capture::readCapture(std::span<const std::uint8_t>(data, size));
    kx::decode::Options options;
    options.h245Ports.insert(1232);
    const auto report = kx::decode::decodeCapture(capture, options);
    for (const auto& message : report.messages)
        (void)kx::decode::describe(message);
    return 0;
}
