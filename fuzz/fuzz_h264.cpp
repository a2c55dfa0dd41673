// libFuzzer target: RTP H.264 payloads from a far end.  The input is cut into packets
// (a two-octet length, a flag octet with the marker and a sequence step, the payload);
// the depacketiser reassembles them, and every sequence parameter set in a finished
// picture is read as the video sink reads it before decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/fuzzcheck.h"
#include "voip/media/h264payload.h"
#include "voip/media/h264sps.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace voip::h264;
    // A whole input is also tried as one parameter set.
    if (auto sps = parseSequenceParameterSet(std::span(data, size))) {
        check(sps->width > 0 && sps->height > 0);
        check(uint64_t(sps->widthInMacroblocks) * sps->heightInMacroblocks <= MaxFrameMacroblocks);
    }
    Depacketiser depacketiser(64 * 1024);
    std::vector<uint8_t> picture;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::size_t length = std::size_t(data[at] << 8 | data[at + 1]) % 2048;
        const uint8_t flags = data[at + 2];
        at += 3;
        const std::size_t taken = std::min(length, size - at);
        sequence = uint16_t(sequence + 1 + (flags & 0x03));
        if (flags & 0x04)
            timestamp += 3600;
        depacketiser.add(std::span(data + at, taken), sequence, timestamp, (flags & 0x80) != 0);
        at += taken;
        uint32_t pictureTime = 0;
        while (depacketiser.takePicture(picture, pictureTime)) {
            check(picture.size() <= 64 * 1024);
            for (auto nal : splitAnnexB(picture)) {
                check(!nal.empty());
                if ((nal[0] & 0x1F) == 7)
                    (void)parseSequenceParameterSet(nal);
            }
        }
    }
    return 0;
}
