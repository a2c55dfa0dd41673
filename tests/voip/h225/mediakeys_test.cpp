// The media keys' messages: the key agreement tokens of a Setup and a Connect, and a
// wrapped media key as its channel carries it, against recorded encrypted calls between
// two independent endpoints and the octets they sent.

#include "voip/h225/mediakeys.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/hex.h"

#include "tools/common/capture.h"
#include "tools/kxdecode/decoder.h"
#include "voip/h225/message.h"

namespace voip::h225 {
namespace {

using kxtest::fromHex;

/// "name = value" of a recording's keys file.
std::string logged(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + " = ", 0) == 0) {
            std::string value = line.substr(name.size() + 3);
            return value.substr(0, value.find_first_of(" #"));
        }
    return {};
}

TEST(MediaKeys, AWrappedKeyTravelsAsOtherStacksSendIt)
{
    // An encryptionSync's h235Key from a recorded call, all 31 octets.
    const auto recorded = fromHex("801d300960864801650304010200"
                                  "10e2f1b76ab39e9901d1e52efbdaf7e8b2");
    const std::array<std::uint8_t, 16> wrapped = {0xe2, 0xf1, 0xb7, 0x6a, 0xb3, 0x9e, 0x99, 0x01,
                                                  0xd1, 0xe5, 0x2e, 0xfb, 0xda, 0xf7, 0xe8, 0xb2};
    auto encoded = encodeWrappedKey(wrapped);
    ASSERT_TRUE(encoded.ok()) << encoded.error().toString();
    EXPECT_EQ(*encoded, recorded);
    auto decoded = decodeWrappedKey(recorded);
    ASSERT_TRUE(decoded.ok()) << decoded.error().toString();
    EXPECT_EQ(*decoded, wrapped);

    // What must not pass for a key: nothing, a cut one, another cipher, another length.
    auto otherCipher = recorded;
    otherCipher[12] = 0x16; // ...4.1.22, AES-192-CBC
    auto shortKey = fromHex("801c30096086480165030401020"
                            "00fe2f1b76ab39e9901d1e52efbdaf7e8");
    for (const auto& bad : {std::vector<std::uint8_t>{},
                            std::vector<std::uint8_t>(recorded.begin(), recorded.begin() + 20),
                            otherCipher, shortKey})
        EXPECT_FALSE(decodeWrappedKey(bad).ok()) << bad.size() << " octets";
}

TEST(MediaKeys, TheKeyAgreementTokensOfARecordedCallAndOurs)
{
    const auto dir = std::filesystem::path(KX_REFERENCE_DIR) / "encryption-traversal";
    const auto capture =
        kx::capture::readCaptureFile((dir / "encryption-faststart-off.pcapng").string());
    if (capture.frames.empty())
        GTEST_SKIP() << "recordings not present";
    kx::decode::Options options;
    options.callSignallingPorts = {17200}; // where the called endpoint listened
    const auto report = kx::decode::decodeCapture(capture, options);
    std::optional<KeyAgreementOffer> setup, connect;
    asn::Value recordedSetup;
    std::vector<std::uint8_t> recordedOctets;
    for (const auto& message : report.messages) {
        if (message.protocol != kx::decode::Protocol::CallSignalling || message.error)
            continue;
        const std::string body(bodyName(message.value));
        if (body != "setup" && body != "connect")
            continue;
        auto offer = readKeyAgreementToken(messageBody(message.value));
        ASSERT_TRUE(offer.ok()) << offer.error().toString();
        (body == "setup" ? setup : connect) = *offer;
        if (body == "setup") {
            recordedSetup = message.value;
            recordedOctets.assign(message.pdu.begin(),
                                  message.pdu.begin() + std::ptrdiff_t(message.usedOctets));
        }
    }
    ASSERT_TRUE(setup && connect);
    const auto file = dir / "encryption-faststart-off.keys";
    EXPECT_EQ(setup->halfKey, fromHex(logged(file, "caller.dh.public")));
    EXPECT_EQ(connect->halfKey, fromHex(logged(file, "callee.dh.public")));
    EXPECT_EQ(setup->prime, fromHex(logged(file, "dh.prime")));
    std::vector<std::uint8_t> two(128, 0);
    two.back() = 2;
    EXPECT_EQ(setup->generator, two) << "2, written out to the group's size";

    // Ours, in place of the recorded ones: the same two tokens, read back the same.
    asn::Value information = recordedSetup;
    asn::Value& ours = messageBody(information);
    ours.remove("tokens");
    ASSERT_TRUE(addKeyAgreementTokens(ours, *setup).ok());
    auto encoded = encodeUserInformation(information);
    ASSERT_TRUE(encoded.ok()) << encoded.error().toString();
    EXPECT_EQ(*encoded, recordedOctets) << "our tokens are the recorded ones, octet for octet";
    auto again = decodeUserInformation(*encoded);
    ASSERT_TRUE(again.ok());
    const asn::Value& tokens = messageBody(*again)["tokens"];
    ASSERT_EQ(tokens.elements().size(), 2u);
    EXPECT_EQ(tokens.elements()[0]["tokenOID"].oidText(), "0.0.8.235.0.3.43");
    EXPECT_EQ(tokens.elements()[1]["tokenOID"].oidText(), "0.0.8.235.0.3.24");
    EXPECT_FALSE(tokens.elements()[1].has("dhkey")) << "the other name goes bare";
    auto read = readKeyAgreementToken(messageBody(*again));
    ASSERT_TRUE(read.ok() && *read);
    EXPECT_EQ((*read)->halfKey, setup->halfKey);

    // A far end that does not encrypt offers nothing; numbers of another size are refused.
    EXPECT_FALSE(*readKeyAgreementToken(messageBody(newUserInformation("setup"))));
    KeyAgreementOffer small = *setup;
    small.halfKey.resize(64);
    asn::Value other = newUserInformation("connect");
    ASSERT_TRUE(addKeyAgreementTokens(messageBody(other), small).ok());
    EXPECT_FALSE(readKeyAgreementToken(messageBody(other)).ok());
    small.halfKey.assign(257, 1);
    EXPECT_FALSE(addKeyAgreementTokens(messageBody(other), small).ok());
}

} // namespace
} // namespace voip::h225
