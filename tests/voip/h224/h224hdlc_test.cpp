// H.224 frames in HDLC framing, as H.323 Annex Q equipment sends them: the bits of an
// independent stack's frames from a capture, our own frames against them, and what
// damaged streams get.

#include <gtest/gtest.h>

#include <filesystem>

#include "tools/common/capture.h"
#include "tools/common/packet.h"
#include "voip/h224/h224frame.h"
#include "voip/h224/h224handler.h"
#include "voip/media/mediaformatregistry.h"

namespace voip::h224 {
namespace {

using Bytes = std::vector<uint8_t>;

/// The RTP payloads (payload type 100, H.224) the independent stack sent in
/// video-fecc-h239-we-call.pcapng; empty without the reference captures.
std::vector<Bytes> capturedHdlcPayloads()
{
    const std::filesystem::path path =
        std::filesystem::path(KX_REFERENCE_DIR) / "interop" / "video-fecc-h239-we-call.pcapng";
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return {};
    std::vector<Bytes> payloads;
    for (const auto& frame : kx::capture::readCaptureFile(path.string()).frames) {
        auto parsed = kx::capture::parsePacket(frame.linkType, frame.data);
        if (parsed.kind != kx::capture::ParsedPacket::Kind::Packet ||
            parsed.packet.transport != kx::capture::Transport::Udp ||
            parsed.packet.source.port != 5004 || parsed.packet.payload.size() <= 12)
            continue;
        const auto& rtp = parsed.packet.payload;
        if ((rtp[1] & 0x7F) == 100)
            payloads.emplace_back(rtp.begin() + 12, rtp.end());
    }
    return payloads;
}

TEST(H224Hdlc, AnAnnexQStacksFramesDecodeAndOursHaveTheirBits)
{
    const auto payloads = capturedHdlcPayloads();
    if (payloads.empty())
        GTEST_SKIP() << "reference captures not present";
    ASSERT_GE(payloads.size(), 10u);
    unsigned clientLists = 0;
    for (const auto& payload : payloads) {
        std::string error;
        auto frames = decodeHdlc(payload, &error);
        ASSERT_TRUE(frames) << error;
        for (const auto& octets : *frames) {
            auto frame = decodeFrame(octets, &error);
            ASSERT_TRUE(frame) << error;
            EXPECT_TRUE(frame->clientId == CmeClientId || frame->clientId == FeccClientId);
            auto cme = frame->clientId == CmeClientId ? decodeCmeMessage(frame->data) : std::nullopt;
            if (cme && cme->type == CmeMessageType::ClientList) {
                ++clientLists;
                ASSERT_EQ(cme->clients.size(), 1u);
                EXPECT_EQ(cme->clients[0].clientId, FeccClientId);
            }
        }
    }
    EXPECT_GE(clientLists, 1u);
    // The stack's first frame, encoded by us, is the same bit stream up to where the stack
    // goes on with flags of its own: same bit order, stuffing and check sequence.
    auto first = decodeHdlc(payloads.front());
    ASSERT_TRUE(first);
    const Bytes ours = encodeHdlc(first->front());
    ASSERT_LE(ours.size(), payloads.front().size());
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), payloads.front().begin()));
}

TEST(H224Hdlc, StuffingAndCheckSequenceFollowTheStandard)
{
    // ISO/IEC 13239's check value: the FCS of "123456789" is 0x906E, so the frame's last two
    // octets before the flag are 6E 90 (low octet first, each least significant bit first).
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    auto decoded = decodeHdlc(encodeHdlc(digits));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->front(), digits);
    // All ones: a zero after every five, so no flag and no abort shows inside the frame.
    const Bytes ones(40, 0xFF);
    const Bytes stream = encodeHdlc(ones);
    unsigned run = 0, longest = 0;
    for (const uint8_t octet : stream)
        for (int bit = 7; bit >= 0; --bit) {
            run = (octet >> bit) & 1 ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    EXPECT_EQ(longest, 6u) << "six ones in the flags only, never seven";
    EXPECT_GE(stream.size(), 40u + 40u / 5 / 8 + 2 + 4);
    decoded = decodeHdlc(stream);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->front(), ones);
    // Two frames in one payload, at any bit offset, with a stray zero bit in front.
    Bytes two = encodeHdlc(digits);
    const Bytes second = encodeHdlc(ones);
    two.insert(two.end(), second.begin(), second.end());
    Bytes shifted(two.size() + 1, 0);
    for (std::size_t i = 0; i < two.size(); ++i) {
        shifted[i] |= uint8_t(two[i] >> 1);
        shifted[i + 1] |= uint8_t(two[i] << 7);
    }
    decoded = decodeHdlc(shifted);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 2u);
    EXPECT_EQ((*decoded)[0], digits);
    EXPECT_EQ((*decoded)[1], ones);
}

TEST(H224Hdlc, DamagedStreamsAreRefusedWithAReason)
{
    Frame frame;
    frame.data = {0x01, 0x80, 0x03};
    const Bytes good = encodeHdlc(encodeFrame(frame));
    ASSERT_TRUE(decodeHdlc(good));
    Bytes badCheck = good;
    badCheck[6] ^= 0x10;
    Bytes aborted = good;
    aborted[5] = 0xFF; // seven ones and more inside the frame
    aborted[6] = 0xFF;
    const Bytes cut(good.begin(), good.end() - 3);
    Bytes odd = good;
    odd.insert(odd.begin() + 4, 0x00); // eight stray zero bits: not a whole frame any more
    const std::pair<const char*, Bytes> cases[] = {
        {"check sequence", badCheck}, {"abort", aborted}, {"cut off", cut},
        {"no flag", Bytes(20, 0x00)}, {"empty", Bytes{}}, {"odd length", odd},
    };
    for (const auto& [what, bytes] : cases) {
        std::string error;
        EXPECT_FALSE(decodeHdlc(bytes, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
    // A stream longer than any H.224 frame is refused before it is kept.
    std::string error;
    EXPECT_FALSE(decodeHdlc(encodeHdlc(Bytes(4000, 0x55)), &error));
    EXPECT_NE(error.find("longer"), std::string::npos) << error;
}

TEST(H224Hdlc, HandlerSendsTheFramingOfItsChannelAndTakesBoth)
{
    MediaFormat format = *MediaFormatRegistry::global().find(format::Fecc);
    for (const char* framing : {"HDLC", "bare"}) {
        SCOPED_TRACE(framing);
        auto handler = H224Handler::create({}, nullptr);
        format.setStringOption(option::H224Framing, framing);
        auto reader = handler->openTransmit(format, DataSessionId);
        reader->open();
        StreamFrame sent;
        ASSERT_TRUE(reader->readFrame(sent)); // the client list announced on opening
        if (std::string(framing) == "bare")
            EXPECT_TRUE(decodeFrame(sent.payload));
        else
            EXPECT_TRUE(decodeHdlc(sent.payload));
        reader->close();
    }
    // Received: both forms act; damage, other clients and segments are counted, not acted on.
    auto handler = H224Handler::create({}, nullptr);
    Frame list;
    list.clientId = CmeClientId;
    CmeMessage clients;
    clients.type = CmeMessageType::ClientList;
    clients.clients.push_back({FeccClientId, {}, false});
    list.data = encodeCmeMessage(clients);
    EXPECT_TRUE(handler->receive(encodeFrame(list)));
    EXPECT_TRUE(handler->receive(encodeHdlc(encodeFrame(list))));
    EXPECT_TRUE(handler->remoteHasFecc());
    Frame other = list;
    other.clientId = 0x02; // a client this terminal does not have
    Bytes damaged = encodeHdlc(encodeFrame(list));
    damaged[damaged.size() - 3] ^= 0x01;
    Frame segment = list;
    segment.endingSegment = false;
    EXPECT_FALSE(handler->receive(encodeHdlc(encodeFrame(other))));
    EXPECT_FALSE(handler->receive(damaged));
    EXPECT_FALSE(handler->receive(encodeFrame(segment)));
    const auto statistics = handler->statistics();
    EXPECT_EQ(statistics.framesReceived, 2u);
    EXPECT_EQ(statistics.framesRefused, 3u);
}

} // namespace
} // namespace voip::h224
