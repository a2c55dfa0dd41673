// A call's media encryption against a recorded peer's own messages and keys, between two
// of ours (keys made by the master, renewed on request), and against what must not be
// trusted.

#include <gtest/gtest.h>

#include <thread>

#include "fakelink.h"
#include "tests/support/hex.h"
#include "voip/h225/mediakeys.h"
#include "voip/h225/message.h"
#include "voip/h235/mediacipher.h"
#include "voip/h245/channels.h"
#include "voip/h323/callencryption.h"
#include "voip/rtp/rtpsession.h"

namespace {

using namespace std::chrono_literals;
using kxtest::fromHex;
using kxtest::FakeLink;
using voip::h323::CallEncryption;
using voip::h323::ChannelSeal;
using voip::h323::MediaEncryption;
namespace h235 = voip::h235;
namespace h225 = voip::h225;
namespace rtp = voip::rtp;

// A recorded call between two endpoints of another maker, the callee H.245 master: the
// caller's private exponent, the callee's half key, the callee's OpenLogicalChannel and its
// Ack to the caller's channel, the first block of a callee packet, and the two media keys.
const std::string CallerPrivate =
    "2078380e036778f2052865770db104118d2f60c5e547d3e5ce7fa9ce966bf5e1"
    "f5109670ecaecc8d143405e3eeaf340a074add049bbbe08992dee48962975fa3"
    "1344c732d321570cc6b857529717cd128848a1403e2558000b0b31ced8c38306"
    "387677b7090a76ce17b56b4acc73a27ef7c2e88eae1fce75afcfb9f10e48047f";
const std::string CalleeHalfKey =
    "b502778c8335a6cb834c08a5b7fadcd8871e30a71307f980e661591abb886b39"
    "842fe324a64a788aefb48be647aa4829b9c563383e8553e02559a3a100fe3c1e"
    "8eec630dd80f4541e13357be1bc0d27ad14239187740bcdf4492233aa28806ae"
    "3eee789e1885dfd2d179a21c51de7b31dbbd47af47a650becdb6ee752999c357";
const char* MasterOpen =
    "0380006420400f200040096086480165030401024313800b0d4001007f000001433b600280230078001e801d"
    "30096086480165030401020010e2f1b76ab39e9901d1e52efbdaf7e8b2";
const char* MasterAck = "22c0006404c0145e00007f000001433a007f000001433bc008010023007800"
                        "1e801d30096086480165030401020010274af70829813f0fe4b0fa04bc4f4fb7";
const char* CalleePacket = "80f8c1d51f103f2ea0c9f38f199d73b6c3dd5b7ce0537c740108a319";
const char* CallerKey = "8ff24d4d513ff370c4747ae0ef4c6ccc";

const asio::ip::address Loopback = asio::ip::make_address("127.0.0.1");

std::shared_ptr<rtp::RtpSession> openSession()
{
    rtp::SessionConfig config;
    config.localAddress = Loopback;
    auto opened = rtp::RtpSession::open(config);
    return opened ? std::shared_ptr<rtp::RtpSession>(opened.take()) : nullptr;
}

std::vector<rtp::MediaFrame> collect(rtp::RtpSession& session, std::size_t count)
{
    std::vector<rtp::MediaFrame> frames;
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (frames.size() < count && std::chrono::steady_clock::now() < end) {
        while (auto frame = session.readFrame())
            frames.push_back(std::move(*frame));
        std::this_thread::sleep_for(1ms);
    }
    return frames;
}

/// A Setup or Connect body carrying `offer` (nothing: no tokens).
voip::asn::Value bodyWith(const std::optional<h225::KeyAgreementOffer>& offer)
{
    voip::asn::Value information = h225::newUserInformation("connect");
    auto& body = h225::messageBody(information);
    if (offer) {
        EXPECT_TRUE(h225::addKeyAgreementTokens(body, *offer));
    }
    return body;
}

h225::KeyAgreementOffer offerOf(std::vector<std::uint8_t> halfKey)
{
    const auto& p = h235::groupPrime();
    const auto& g = h235::groupGenerator();
    return {std::move(halfKey), {p.begin(), p.end()}, {g.begin(), g.end()}};
}

voip::h245::LogicalChannel readOpen(const voip::asn::Value& message)
{
    auto read = voip::h245::readOpenLogicalChannel(message);
    EXPECT_TRUE(read) << read.error().toString();
    return read ? *read : voip::h245::LogicalChannel{};
}

voip::h245::Capability g711()
{
    voip::h245::Capability capability;
    capability.type = voip::h245::CapabilityType::G711Ulaw;
    capability.entryNumber = 2;
    return capability;
}

voip::h245::CapabilitySet securing(const voip::h245::Capability& media)
{
    voip::h245::CapabilitySet set;
    set.capabilities.push_back(media);
    voip::h245::Capability security;
    security.type = voip::h245::CapabilityType::H235Security;
    security.securedEntry = media.entryNumber;
    security.entryNumber = media.entryNumber + 100;
    set.capabilities.push_back(security);
    return set;
}

TEST(CallEncryption, TakesARecordedMastersKeysAndSendsWhatItCanRead)
{
    FakeLink link;
    CallEncryption caller(MediaEncryption::WhenPeerCan, true, link,
                          h235::KeyAgreement::fromPrivate(fromHex(CallerPrivate)));
    EXPECT_TRUE(caller.capabilitiesWait()) << "the security entries wait for the Connect";
    caller.peerOffered(bodyWith(offerOf(fromHex(CalleeHalfKey))));
    ASSERT_TRUE(caller.agreed());
    EXPECT_FALSE(caller.capabilitiesWait());

    // The master's channel: its key unwraps, and the recorded packet opens to the tone.
    auto session = openSession();
    ASSERT_TRUE(session);
    auto open = voip::h245::decodeMessage(fromHex(MasterOpen));
    ASSERT_TRUE(open);
    voip::h245::LogicalChannelAck ack;
    EXPECT_EQ(caller.sealReceive(readOpen(*open), 120, false, ack, session), "");
    EXPECT_FALSE(ack.encryptionSync) << "the slave gives no key";
    asio::io_context io;
    asio::ip::udp::socket peer(io, asio::ip::udp::endpoint(Loopback, 0));
    peer.send_to(asio::buffer(fromHex(CalleePacket)),
                 asio::ip::udp::endpoint(Loopback, session->localRtpPort()));
    const auto frames = collect(*session, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(kxtest::toHex(std::span(frames[0].payload).first(8)), "ffa9a0a9ff292029");

    // Our channel: opened without a key, which comes in the master's Ack.
    voip::h245::LogicalChannel ours;
    ours.number = 101;
    ours.dataType = g711();
    ASSERT_EQ(caller.sealTransmit(ours, securing(g711()), g711(), false), ChannelSeal::Encrypted);
    EXPECT_TRUE(ours.encrypted);
    EXPECT_EQ(ours.dynamicRtpPayloadType, 120);
    EXPECT_FALSE(ours.encryptionSync);
    auto recordedAck = voip::h245::decodeMessage(fromHex(MasterAck));
    ASSERT_TRUE(recordedAck);
    auto readAck = voip::h245::readOpenLogicalChannelAck(*recordedAck);
    ASSERT_TRUE(readAck);
    ASSERT_TRUE(caller.transmitAcknowledged(101, readAck->encryptionSync, session));
    session->setRemote(Loopback, peer.local_endpoint().port(), peer.local_endpoint().port() + 1);
    const std::vector<std::uint8_t> tone(160, 0xa9);
    ASSERT_TRUE(session->send(tone, 160, false, 120));
    std::vector<std::uint8_t> wire(2048);
    wire.resize(peer.receive(asio::buffer(wire)));
    ASSERT_EQ(wire.size(), 12u + 160u);
    EXPECT_EQ(wire[1] & 0x7f, 120);
    h235::Key key{};
    const auto keyOctets = fromHex(CallerKey);
    std::copy(keyOctets.begin(), keyOctets.end(), key.begin());
    h235::MediaCipher recorded(key);
    ASSERT_TRUE(recorded.decrypt(wire));
    EXPECT_TRUE(std::equal(tone.begin(), tone.end(), wire.begin() + 12));
}

/// Two sides of ours that agreed, each with an RTP session sending to the other's.
struct AgreedPair
{
    AgreedPair(MediaEncryption policy = MediaEncryption::WhenPeerCan)
        : caller(policy, true, callerLink)
        , callee(policy, false, calleeLink)
    {
        auto setup = bodyWith(std::nullopt);
        caller.offer(setup);
        callee.peerOffered(setup);
        auto connect = bodyWith(std::nullopt);
        callee.offer(connect);
        caller.peerOffered(connect);
        if (callerSession && calleeSession) {
            callerSession->setRemote(Loopback, calleeSession->localRtpPort(),
                                     calleeSession->localRtcpPort());
            calleeSession->setRemote(Loopback, callerSession->localRtpPort(),
                                     callerSession->localRtcpPort());
        }
    }
    /// `from` opens channel `number` to `to`, `from` being master or not.
    void open(CallEncryption& from, CallEncryption& to, bool fromMaster, std::uint16_t number,
              const std::shared_ptr<rtp::RtpSession>& fromSession,
              const std::shared_ptr<rtp::RtpSession>& toSession)
    {
        voip::h245::LogicalChannel channel;
        channel.number = number;
        channel.dataType = g711();
        ASSERT_EQ(from.sealTransmit(channel, securing(g711()), g711(), fromMaster),
                  ChannelSeal::Encrypted);
        auto message = voip::h245::buildOpenLogicalChannel(channel);
        voip::h245::LogicalChannelAck ack;
        ASSERT_EQ(to.sealReceive(readOpen(message), 120, !fromMaster, ack, toSession), "");
        ASSERT_TRUE(from.transmitAcknowledged(number, ack.encryptionSync, fromSession));
    }
    /// What `to` receives of a payload `from` sends.
    bool carries(rtp::RtpSession& from, rtp::RtpSession& to, std::uint32_t timestamp)
    {
        std::vector<std::uint8_t> payload(120);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = std::uint8_t(i + timestamp);
        if (!from.send(payload, timestamp, false, 120))
            return false;
        const auto frames = collect(to, 1);
        return frames.size() == 1 && frames[0].payload == payload && frames[0].payloadType == 120;
    }

    FakeLink callerLink;
    FakeLink calleeLink;
    CallEncryption caller;
    CallEncryption callee;
    std::shared_ptr<rtp::RtpSession> callerSession = openSession();
    std::shared_ptr<rtp::RtpSession> calleeSession = openSession();
};

TEST(CallEncryption, TheMasterMakesEveryKeyAndRenewsOneWhenAsked)
{
    AgreedPair pair;
    ASSERT_TRUE(pair.caller.agreed() && pair.callee.agreed());
    ASSERT_TRUE(pair.callerSession && pair.calleeSession);
    // The callee is master; both sides number their channel 101, as other stacks do.
    pair.open(pair.callee, pair.caller, true, 101, pair.calleeSession, pair.callerSession);
    pair.open(pair.caller, pair.callee, false, 101, pair.callerSession, pair.calleeSession);
    EXPECT_TRUE(pair.carries(*pair.calleeSession, *pair.callerSession, 0));
    EXPECT_TRUE(pair.carries(*pair.callerSession, *pair.calleeSession, 0));

    // The caller asks for a new key of what it receives; the master answers with it, and
    // goes on with the old key until the caller has had time to take the new one.
    ASSERT_TRUE(pair.caller.renewKey(101, false));
    auto request = voip::h245::readEncryptionUpdate(pair.callerLink.take());
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->sync);
    pair.callee.onUpdate(*request, true);
    auto update = voip::h245::readEncryptionUpdate(pair.calleeLink.take());
    ASSERT_TRUE(update && update->sync);
    EXPECT_EQ(update->sync->synchFlag, 121);
    EXPECT_TRUE(pair.carries(*pair.calleeSession, *pair.callerSession, 160)) << "old key";
    pair.caller.onUpdate(*update, false);
    EXPECT_TRUE(pair.carries(*pair.calleeSession, *pair.callerSession, 320)) << "old key kept";
    pair.calleeLink.expire(pair.calleeLink.runningTimer());
    EXPECT_TRUE(pair.carries(*pair.calleeSession, *pair.callerSession, 480)) << "new key";
    EXPECT_EQ(pair.caller.renewals(), 1u);
    EXPECT_EQ(pair.callee.renewals(), 1u);
    EXPECT_EQ(pair.callerSession->statistics().drops.undecryptable, 0u);

    // The master renews what it receives of its own accord; the slave just takes it, for
    // its own channel although the far end's has the same number.
    ASSERT_TRUE(pair.callee.renewKey(101, true));
    auto own = voip::h245::readEncryptionUpdate(pair.calleeLink.take());
    ASSERT_TRUE(own && own->sync);
    pair.caller.onUpdate(*own, false);
    EXPECT_TRUE(pair.carries(*pair.callerSession, *pair.calleeSession, 160));
    EXPECT_TRUE(pair.carries(*pair.calleeSession, *pair.callerSession, 640));
    EXPECT_TRUE(pair.callerLink.sent.empty());
    EXPECT_EQ(pair.calleeSession->statistics().drops.undecryptable, 0u);
}

TEST(CallEncryption, AgreesOnlyWithUsableNumbers)
{
    const auto& p = h235::groupPrime();
    std::vector<std::uint8_t> one(128, 0), pMinusOne(p.begin(), p.end()), otherPrime = pMinusOne;
    one.back() = 1;
    pMinusOne.back() -= 1;
    otherPrime[64] ^= 1;
    std::vector<std::uint8_t> five(128, 0);
    five.back() = 5;
    struct Case
    {
        const char* what;
        std::optional<h225::KeyAgreementOffer> offer;
    };
    const Case cases[] = {
        {"no tokens", std::nullopt},
        {"half key 0", offerOf(std::vector<std::uint8_t>(128, 0))},
        {"half key 1", offerOf(one)},
        {"half key p-1", offerOf(pMinusOne)},
        {"half key p", offerOf({p.begin(), p.end()})},
        {"short half key", offerOf(std::vector<std::uint8_t>(64, 7))},
        {"another prime", h225::KeyAgreementOffer{std::vector<std::uint8_t>(128, 3), otherPrime,
                                                 offerOf({}).generator}},
        {"generator 5", h225::KeyAgreementOffer{std::vector<std::uint8_t>(128, 3),
                                               offerOf({}).prime, five}},
    };
    for (const auto& [what, offer] : cases) {
        SCOPED_TRACE(what);
        FakeLink link;
        CallEncryption called(MediaEncryption::Required, false, link);
        called.peerOffered(bodyWith(offer));
        EXPECT_FALSE(called.agreed());
        EXPECT_TRUE(called.refusesAgreement());
        // An encrypted channel cannot be taken without keys.
        voip::h245::LogicalChannel channel;
        channel.dataType = g711();
        channel.encrypted = true;
        voip::h245::LogicalChannelAck ack;
        EXPECT_EQ(called.sealReceive(channel, 120, true, ack, nullptr), "securityDenied");
    }
    FakeLink link;
    CallEncryption off(MediaEncryption::Off, false, link);
    auto setup = bodyWith(std::nullopt);
    off.offer(setup);
    EXPECT_FALSE(setup.has("tokens")) << "nothing offered when off";
}

TEST(CallEncryption, KeysThatCannotBeTrustedAreRefused)
{
    AgreedPair pair;
    ASSERT_TRUE(pair.callee.agreed());
    voip::h245::LogicalChannel channel;
    channel.number = 7;
    channel.dataType = g711();
    channel.encrypted = true;
    voip::h245::LogicalChannelAck ack;
    // From the master: without a key, with octets that are no key, under another cipher.
    EXPECT_EQ(pair.caller.sealReceive(channel, 120, false, ack, nullptr), "securityDenied");
    channel.encryptionSync = voip::h245::EncryptionSync{120, {1, 2, 3}};
    EXPECT_EQ(pair.caller.sealReceive(channel, 120, false, ack, nullptr), "securityDenied");
    auto foreign = fromHex("801d3009608648016503040116" "0010e2f1b76ab39e9901d1e52efbdaf7e8b2");
    channel.encryptionSync = voip::h245::EncryptionSync{120, foreign};
    EXPECT_EQ(pair.caller.sealReceive(channel, 120, false, ack, nullptr), "securityDenied");

    // A clear channel: taken when the peer may choose, refused when encryption is required.
    channel.encrypted = false;
    channel.encryptionSync.reset();
    EXPECT_EQ(pair.caller.sealReceive(channel, 0, false, ack, nullptr), "");
    FakeLink link;
    CallEncryption strict(MediaEncryption::Required, true, link);
    EXPECT_EQ(strict.sealReceive(channel, 0, false, ack, nullptr), "securityDenied");
    EXPECT_TRUE(strict.refusesCapabilities(voip::h245::CapabilitySet{}));
    EXPECT_FALSE(strict.refusesCapabilities(securing(g711())));

    // A master that acknowledges our encrypted channel without its key: that channel is not
    // sent, and the next one goes clear rather than round again.
    voip::h245::LogicalChannel ours;
    ours.number = 3;
    ours.dataType = g711();
    ASSERT_EQ(pair.caller.sealTransmit(ours, securing(g711()), g711(), false),
              ChannelSeal::Encrypted);
    EXPECT_FALSE(pair.caller.transmitAcknowledged(3, std::nullopt, nullptr));
    voip::h245::LogicalChannel again;
    again.dataType = g711();
    EXPECT_EQ(pair.caller.sealTransmit(again, securing(g711()), g711(), false), ChannelSeal::Clear);
    EXPECT_FALSE(again.encrypted);
    // A far end that does not secure the entry gets it clear, or not at all when required.
    voip::h245::LogicalChannel plain;
    plain.dataType = g711();
    voip::h245::CapabilitySet bare;
    bare.capabilities.push_back(g711());
    EXPECT_EQ(pair.callee.sealTransmit(plain, bare, g711(), true), ChannelSeal::Clear);
    EXPECT_EQ(strict.sealTransmit(plain, bare, g711(), true), ChannelSeal::Refused);

    // Renewals for channels that are not there, or asked of a slave, change nothing.
    pair.callee.onUpdate({42, voip::h245::EncryptionSync{121, {}}, false}, false);
    pair.caller.onUpdate({42, std::nullopt, false}, false);
    EXPECT_FALSE(pair.caller.renewKey(42, false));
    EXPECT_TRUE(pair.callerLink.sent.empty() && pair.calleeLink.sent.empty());
    EXPECT_EQ(pair.caller.renewals() + pair.callee.renewals(), 0u);
}

} // namespace
