// The key agreement, the key wrap and the RTP payload cipher, against calls between two
// independent endpoints that logged every secret: our arithmetic must give their half
// keys, secret and wrapped keys, and our cipher their packets, octet for octet.  Skipped
// where the recordings are not there; the checks of our own round trips run everywhere.

#include "voip/h235/keyagreement.h"
#include "voip/h235/mediacipher.h"

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "tests/support/hex.h"

#include "tools/common/capture.h"
#include "tools/common/packet.h"
#include "voip/media/g711.h"

namespace voip::h235 {
namespace {

const std::filesystem::path Recordings =
    std::filesystem::path(KX_REFERENCE_DIR) / "encryption-traversal";

using kxtest::fromHex;

Key keyOf(const std::string& hex)
{
    Key key{};
    const auto bytes = fromHex(hex);
    std::copy_n(bytes.begin(), std::min(bytes.size(), key.size()), key.begin());
    return key;
}

/// A recording's logged values, "section.name" (the call's own without a section).
std::map<std::string, std::string> loggedKeys(const std::string& name)
{
    std::map<std::string, std::string> values;
    std::ifstream file(Recordings / name);
    std::string section;
    for (std::string line; std::getline(file, line);) {
        line = line.substr(0, line.find('#'));
        if (line.rfind("[channel ", 0) == 0) {
            section = line.substr(9, line.find(']') - 9) + ".";
            continue;
        }
        const auto equals = line.find(" = ");
        if (equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 3);
        value.erase(value.find_last_not_of(" \t") + 1);
        values[section + line.substr(0, equals)] = value;
    }
    return values;
}

/// The RTP packets of one SSRC in a recording, as sent.
std::vector<std::vector<std::uint8_t>> packetsOf(const std::string& capture, std::uint32_t ssrc)
{
    std::vector<std::vector<std::uint8_t>> packets;
    for (const auto& frame : kx::capture::readCaptureFile((Recordings / capture).string()).frames) {
        const auto parsed = kx::capture::parsePacket(frame.linkType, frame.data);
        if (parsed.kind != kx::capture::ParsedPacket::Kind::Packet ||
            parsed.packet.transport != kx::capture::Transport::Udp)
            continue;
        const auto data = parsed.packet.payload;
        if (data.size() < 12 || (data[0] >> 6) != 2 || (data[1] & 0x7F) != 120)
            continue;
        const std::uint32_t theirs = std::uint32_t(data[8]) << 24 | std::uint32_t(data[9]) << 16 |
                                     std::uint32_t(data[10]) << 8 | data[11];
        if (theirs == ssrc)
            packets.emplace_back(data.begin(), data.end());
    }
    return packets;
}

/// Sign changes of a µ-law payload: 2 per period of its tone.
int signChanges(std::span<const std::uint8_t> payload)
{
    int changes = 0;
    for (std::size_t i = 1; i < payload.size(); ++i)
        changes += (g711::decodeULaw(payload[i - 1]) < 0) != (g711::decodeULaw(payload[i]) < 0);
    return changes;
}

TEST(KeyAgreement, GivesTheRecordedHalfKeysSecretAndWrappedKeys)
{
    const auto logged = loggedKeys("encryption-faststart-off.keys");
    if (logged.empty())
        GTEST_SKIP() << "recordings not present";
    EXPECT_EQ(std::vector<std::uint8_t>(groupPrime().begin(), groupPrime().end()),
              fromHex(logged.at("dh.prime")));
    const auto caller = KeyAgreement::fromPrivate(fromHex(logged.at("caller.dh.private")));
    const auto callee = KeyAgreement::fromPrivate(fromHex(logged.at("callee.dh.private")));
    ASSERT_TRUE(caller && callee);
    EXPECT_EQ(std::vector<std::uint8_t>(caller->halfKey().begin(), caller->halfKey().end()),
              fromHex(logged.at("caller.dh.public")));
    const auto secret = caller->secret(fromHex(logged.at("caller.dh.received-halfkey")));
    ASSERT_TRUE(secret);
    EXPECT_EQ(std::vector<std::uint8_t>(secret->begin(), secret->end()),
              fromHex(logged.at("dh.shared")));
    EXPECT_EQ(callee->secret(caller->halfKey()), secret);
    const Key wrapping = wrappingKey(*secret);
    EXPECT_EQ(wrapping, keyOf(logged.at("wrap.key")));
    // The master's key for its own channel, as its encryptionSync carried it.
    const Key media = keyOf(logged.at("callee->caller.media.key"));
    EXPECT_EQ(wrapKey(wrapping, media), keyOf("e2f1b76ab39e9901d1e52efbdaf7e8b2"));
    EXPECT_EQ(unwrapKey(wrapping, wrapKey(wrapping, media)), media);
}

TEST(KeyAgreement, FreshAgreementsMeetAndHalfKeysThatFixTheSecretAreRefused)
{
    const auto ours = KeyAgreement::generate();
    const auto theirs = KeyAgreement::generate();
    ASSERT_TRUE(ours && theirs);
    EXPECT_NE(ours->halfKey(), theirs->halfKey());
    const auto secret = ours->secret(theirs->halfKey());
    ASSERT_TRUE(secret);
    EXPECT_EQ(theirs->secret(ours->halfKey()), secret);
    EXPECT_NE(newMediaKey(), newMediaKey());

    GroupNumber pMinusOne = groupPrime();
    pMinusOne.back() -= 1;
    const std::vector<std::vector<std::uint8_t>> refused = {
        {},
        {0},
        {1},
        std::vector<std::uint8_t>(pMinusOne.begin(), pMinusOne.end()),
        std::vector<std::uint8_t>(groupPrime().begin(), groupPrime().end()),
        std::vector<std::uint8_t>(GroupOctets + 1, 1), // longer than the group
    };
    for (const auto& halfKey : refused)
        EXPECT_FALSE(ours->secret(halfKey)) << halfKey.size() << " octets";
    EXPECT_FALSE(KeyAgreement::fromPrivate({}));
    EXPECT_FALSE(KeyAgreement::fromPrivate(std::vector<std::uint8_t>(GroupOctets, 0)));
}

TEST(MediaCipher, DecryptsTheRecordedPacketsToTheirToneAndEncryptsThemAlike)
{
    // 160-octet payloads (whole blocks), and 120-octet ones that travel padded to 128.
    for (const std::string call : {"encryption-faststart-off", "encryption-payload-120"}) {
        SCOPED_TRACE(call);
        const auto logged = loggedKeys(call + ".keys");
        if (logged.empty())
            GTEST_SKIP() << "recordings not present";
        for (const std::string direction : {"caller->callee", "callee->caller"}) {
            const auto packets =
                packetsOf(call + ".pcapng",
                          std::uint32_t(std::stoul(logged.at(direction + ".ssrc"), nullptr, 16)));
            ASSERT_GE(packets.size(), 300u) << direction;
            MediaCipher receiver(keyOf(logged.at(direction + ".media.key")));
            MediaCipher sender(keyOf(logged.at(direction + ".media.key")));
            int toneless = 0;
            for (const auto& captured : packets) {
                auto packet = captured;
                ASSERT_TRUE(receiver.decrypt(packet));
                EXPECT_EQ(packet.size() - 12, call == "encryption-payload-120" ? 120u : 160u);
                EXPECT_EQ(packet[0] & 0x20, 0) << "padding taken off";
                // 1 kHz at 8 kHz: two sign changes every 8 samples, in every block
                // (a wrong IV would garble the first).
                const int changes = signChanges(std::span(packet).subspan(12));
                toneless += std::abs(changes - int(packet.size() - 12) / 4) > 2;
                ASSERT_TRUE(sender.encrypt(packet));
                EXPECT_EQ(packet, captured) << "our encryption is theirs, octet for octet";
            }
            EXPECT_EQ(toneless, 0) << direction;
        }
    }
}

TEST(MediaCipher, PacketsThatCannotBeCipheredAreLeftAlone)
{
    MediaCipher cipher(keyOf("000102030405060708090a0b0c0d0e0f"));
    std::vector<std::uint8_t> header = {0x80, 0x78, 0x12, 0x34, 0, 0, 0x10, 0, 1, 2, 3, 4};
    // One block of payload, no padding needed; CSRCs and an extension skipped over.
    auto packet = header;
    packet.insert(packet.end(), 16, 0xff);
    auto plain = packet;
    ASSERT_TRUE(cipher.encrypt(packet));
    EXPECT_EQ(packet.size(), plain.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), packet.begin())) << "header in clear";
    ASSERT_TRUE(cipher.decrypt(packet));
    EXPECT_EQ(packet, plain);
    auto extended = header;
    extended[0] = 0x91; // one CSRC, an extension of one word
    extended.insert(extended.end(), {9, 9, 9, 9, 0xbe, 0xde, 0, 1, 7, 7, 7, 7, 0xaa});
    auto clear = extended;
    ASSERT_TRUE(cipher.encrypt(extended));
    EXPECT_EQ(extended.size(), clear.size() + 15);
    EXPECT_EQ(extended[0], clear[0] | 0x20) << "padded";
    EXPECT_TRUE(std::equal(clear.begin() + 1, clear.begin() + 24, extended.begin() + 1))
        << "CSRCs and extension in clear";
    ASSERT_TRUE(cipher.decrypt(extended));
    EXPECT_EQ(extended, clear);

    const std::vector<std::vector<std::uint8_t>> refused = {
        {0x80, 0x78, 1},                                              // short
        {0x40, 0x78, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},                   // not version 2
        {0x8f, 0x78, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4},       // CSRCs past the end
        {0x90, 0x78, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, // extension past it
    };
    for (auto bad : refused) {
        const auto before = bad;
        EXPECT_FALSE(cipher.encrypt(bad));
        EXPECT_FALSE(cipher.decrypt(bad));
        EXPECT_EQ(bad, before);
    }
    // Not whole blocks: never encrypted by anyone.
    auto partial = header;
    partial.insert(partial.end(), 17, 1);
    EXPECT_FALSE(cipher.decrypt(partial));
    // Already padded on the way out: the count would be lost under the cipher.
    auto padded = header;
    padded[0] |= 0x20;
    padded.insert(padded.end(), 16, 1);
    EXPECT_FALSE(cipher.encrypt(padded));
    // A padding count the payload cannot hold, after decryption.
    for (std::uint8_t count : {std::uint8_t(0), std::uint8_t(17)}) {
        auto crafted = header;
        crafted.insert(crafted.end(), 15, 1);
        crafted.push_back(count);
        ASSERT_TRUE(cipher.encrypt(crafted));
        crafted[0] |= 0x20; // the header says padded; the decrypted count says otherwise
        const auto before = crafted;
        EXPECT_FALSE(cipher.decrypt(crafted)) << int(count);
        EXPECT_EQ(crafted, before);
    }
}

} // namespace
} // namespace voip::h235
