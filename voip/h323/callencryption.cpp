// The media encryption of a call: the key agreement in Setup and Connect, the channels'
// keys in H.245, and their renewal.

#include "voip/h323/callencryption.h"

#include <algorithm>

#include "voip/base/trace.h"
#include "voip/h225/mediakeys.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323 {

namespace {

bool sameNumber(const std::vector<std::uint8_t>& number, const h235::GroupNumber& known)
{
    return std::equal(number.begin(), number.end(), known.begin(), known.end());
}

/// The payload type a key goes with, as its sender names it; `otherwise` for one that is
/// not dynamic.
std::uint8_t payloadTypeOf(const h245::EncryptionSync& sync, std::uint8_t otherwise)
{
    const std::uint8_t named = sync.synchFlag & 0x7f;
    return named >= 96 ? named : otherwise;
}

/// The payload type a channel's renewed key goes with: the other of two.
std::uint8_t otherPayloadType(std::uint8_t opened, std::uint8_t current)
{
    const std::uint8_t spare = opened == 121 ? 122 : 121;
    return current == opened ? spare : opened;
}

} // namespace

CallEncryption::CallEncryption(MediaEncryption policy, bool caller, ControlLink& link,
                               std::optional<h235::KeyAgreement> agreement)
    : policy_(policy)
    , caller_(caller)
    , link_(link)
    , ours_(std::move(agreement))
{}

CallEncryption::~CallEncryption() = default;

void CallEncryption::offer(asn::Value& body)
{
    if (policy_ == MediaEncryption::Off)
        return;
    if (!ours_)
        ours_ = h235::KeyAgreement::generate();
    if (!ours_) {
        VOIP_TRACE(1, "H323\tNo random numbers for a key agreement on " << link_.describe());
        return;
    }
    const auto& prime = h235::groupPrime();
    const auto& generator = h235::groupGenerator();
    h225::KeyAgreementOffer offer{
        {ours_->halfKey().begin(), ours_->halfKey().end()},
        {prime.begin(), prime.end()},
        {generator.begin(), generator.end()},
    };
    if (auto added = h225::addKeyAgreementTokens(body, offer); !added)
        VOIP_TRACE(1, "H323\tCannot add the key agreement on " << link_.describe() << ": "
                                                               << added.error().toString());
}

void CallEncryption::peerOffered(const asn::Value& body)
{
    answered_ = true;
    if (policy_ == MediaEncryption::Off)
        return;
    auto read = h225::readKeyAgreementToken(body);
    if (!read) {
        VOIP_TRACE(2, "H323\tKey agreement not usable on " << link_.describe() << ": "
                                                           << read.error().toString());
        return;
    }
    if (!*read)
        return;
    const h225::KeyAgreementOffer& theirs = **read;
    // Only the group we know to be a safe prime: another could make the secret guessable.
    if (!sameNumber(theirs.prime, h235::groupPrime()) ||
        !sameNumber(theirs.generator, h235::groupGenerator())) {
        VOIP_TRACE(2, "H323\tKey agreement in an unknown group refused on " << link_.describe());
        return;
    }
    if (!ours_)
        ours_ = h235::KeyAgreement::generate();
    if (!ours_)
        return;
    auto secret = ours_->secret(theirs.halfKey);
    if (!secret) {
        VOIP_TRACE(2, "H323\tThe far end's half key is out of range on " << link_.describe());
        return;
    }
    peerOffers_ = true;
    wrapping_ = h235::wrappingKey(*secret);
    // A caller's tokens went with its Setup; a called side's go with its Connect.
    agreed_ = true;
}

bool CallEncryption::capabilitiesWait() const
{
    return caller_ && policy_ != MediaEncryption::Off && !answered_;
}

bool CallEncryption::holdCapabilities()
{
    capabilitiesHeld_ = capabilitiesHeld_ || capabilitiesWait();
    return capabilitiesWait();
}

bool CallEncryption::releaseCapabilities()
{
    return !capabilitiesWait() && std::exchange(capabilitiesHeld_, false);
}

bool CallEncryption::refusesAgreement() const
{
    return policy_ == MediaEncryption::Required && answered_ && !agreed();
}

bool CallEncryption::refusesCapabilities(const h245::CapabilitySet& theirs) const
{
    if (policy_ != MediaEncryption::Required)
        return false;
    return std::none_of(theirs.capabilities.begin(), theirs.capabilities.end(),
                        [](const h245::Capability& capability) {
                            return capability.type == h245::CapabilityType::H235Security;
                        });
}

std::optional<CallEncryption::NewKey> CallEncryption::newKey(std::uint8_t payloadType) const
{
    auto key = h235::newMediaKey();
    if (!key || !wrapping_)
        return std::nullopt;
    auto encoded = h225::encodeWrappedKey(h235::wrapKey(*wrapping_, *key));
    if (!encoded)
        return std::nullopt;
    return NewKey{*key, h245::EncryptionSync{payloadType, std::move(*encoded)}};
}

std::optional<h235::Key> CallEncryption::unwrapped(const h245::EncryptionSync& sync) const
{
    if (!wrapping_)
        return std::nullopt;
    auto sealed = h225::decodeWrappedKey(sync.h235Key);
    if (!sealed) {
        VOIP_TRACE(2, "H323\tA media key that is not ours to read on "
                          << link_.describe() << ": " << sealed.error().toString());
        return std::nullopt;
    }
    return h235::unwrapKey(*wrapping_, *sealed);
}

ChannelSeal CallEncryption::sealTransmit(h245::LogicalChannel& parameters,
                                         const h245::CapabilitySet& theirs,
                                         const h245::Capability& entry, bool master)
{
    const bool secured =
        agreed() && !noKeysFromPeer_ &&
        std::any_of(theirs.capabilities.begin(), theirs.capabilities.end(),
                    [&](const h245::Capability& capability) {
                        return capability.type == h245::CapabilityType::H235Security &&
                               capability.securedEntry == entry.entryNumber;
                    });
    const ChannelSeal notSealed =
        policy_ == MediaEncryption::Required ? ChannelSeal::Refused : ChannelSeal::Clear;
    if (!secured)
        return notSealed;
    ChannelKey channel;
    channel.mediaPayloadType = parameters.dynamicRtpPayloadType.value_or(PayloadType);
    channel.payloadType = channel.mediaPayloadType;
    if (master) {
        auto made = newKey(channel.payloadType);
        if (!made)
            return notSealed;
        channel.key = made->key;
        channel.made = true;
        parameters.encryptionSync = std::move(made->sync);
    }
    parameters.encrypted = true;
    parameters.dynamicRtpPayloadType = channel.mediaPayloadType;
    channels_[{parameters.number, false}] = channel;
    return ChannelSeal::Encrypted;
}

bool CallEncryption::transmitAcknowledged(std::uint16_t number,
                                          const std::optional<h245::EncryptionSync>& sync,
                                          const std::shared_ptr<rtp::RtpSession>& session)
{
    auto found = channels_.find({number, false});
    if (found == channels_.end())
        return true; // a clear channel
    ChannelKey& channel = found->second;
    if (!channel.made) {
        // The master's key for our channel comes in its Ack.
        auto key = sync ? unwrapped(*sync) : std::nullopt;
        if (!key) {
            VOIP_TRACE(1, "H323\tNo usable key for our encrypted channel " << number << " on "
                                                                           << link_.describe());
            channels_.erase(found);
            noKeysFromPeer_ = true; // our channels are not offered encrypted again
            return false;
        }
        channel.key = *key;
        channel.payloadType = payloadTypeOf(*sync, channel.payloadType);
    }
    channel.session = session;
    install(false, channel);
    return true;
}

void CallEncryption::transmitClosed(std::uint16_t number)
{
    channels_.erase({number, false});
}

std::string_view CallEncryption::sealReceive(const h245::LogicalChannel& request,
                                             std::uint8_t payloadType, bool master,
                                             h245::LogicalChannelAck& ack,
                                             const std::shared_ptr<rtp::RtpSession>& session)
{
    channels_.erase({request.number, true});
    if (!request.encrypted) {
        if (policy_ == MediaEncryption::Required) {
            VOIP_TRACE(2, "H323\tClear channel " << request.number << " refused on "
                                                 << link_.describe());
            return "securityDenied";
        }
        return {};
    }
    if (!agreed()) {
        VOIP_TRACE(2, "H323\tEncrypted channel " << request.number << " without a key agreement on "
                                                 << link_.describe());
        return "securityDenied";
    }
    ChannelKey channel;
    channel.mediaPayloadType = payloadType;
    channel.payloadType = payloadType;
    channel.session = session;
    if (master) {
        auto made = newKey(payloadType);
        if (!made)
            return "securityDenied";
        channel.key = made->key;
        ack.encryptionSync = std::move(made->sync);
    } else {
        auto key = request.encryptionSync ? unwrapped(*request.encryptionSync) : std::nullopt;
        if (!key) {
            VOIP_TRACE(2, "H323\tEncrypted channel "
                              << request.number << " without a usable key on " << link_.describe());
            return "securityDenied";
        }
        channel.key = *key;
        // The master names the payload type the key goes with.
        channel.payloadType = payloadTypeOf(*request.encryptionSync, channel.payloadType);
    }
    install(true, channel);
    channels_[{request.number, true}] = channel;
    return {};
}

void CallEncryption::receiveClosed(std::uint16_t number)
{
    channels_.erase({number, true});
}

void CallEncryption::install(bool fromRemote, const ChannelKey& channel)
{
    auto session = channel.session.lock();
    if (!session)
        return;
    if (fromRemote)
        session->addReceiveKey(channel.key, channel.payloadType, channel.mediaPayloadType);
    else
        session->setSendKey(channel.key, channel.payloadType);
}

bool CallEncryption::renewKey(std::uint16_t number, bool master)
{
    auto found = channels_.find({number, true});
    if (found == channels_.end() || !wrapping_)
        return false;
    if (master) {
        sendNewKey(number, true, found->second);
    } else {
        found->second.asked = true;
        link_.send(h245::buildEncryptionUpdateRequest(number));
    }
    return true;
}

void CallEncryption::sendNewKey(std::uint16_t number, bool fromRemote, ChannelKey& channel)
{
    const std::uint8_t payloadType =
        otherPayloadType(channel.mediaPayloadType, channel.payloadType);
    auto made = newKey(payloadType);
    if (!made) {
        VOIP_TRACE(1, "H323\tNo new key for channel " << number << " on " << link_.describe());
        return;
    }
    link_.send(h245::buildEncryptionUpdate(number, made->sync));
    channel.key = made->key;
    channel.payloadType = payloadType;
    ++renewals_;
    VOIP_TRACE(2, "H323\tNew key for channel " << number << " (payload type " << int(payloadType)
                                               << ") on " << link_.describe());
    if (fromRemote) {
        install(true, channel); // the old key stays for what is on the way
        return;
    }
    // Our own sender: once the far end has had time to take the key.
    ChannelKey taken = channel;
    taken.switching.reset();
    channel.switching = link_.timer([this, taken] { install(false, taken); });
    channel.switching->start(SwitchDelay);
}

void CallEncryption::onUpdate(const h245::EncryptionUpdate& update, bool master)
{
    const auto mine = channels_.find({update.channel, false});
    const auto theirs = channels_.find({update.channel, true});
    if (!update.sync) {
        // A request names our channel; a slave has no keys to make.
        if (!master || mine == channels_.end()) {
            VOIP_TRACE(2, "H323\tKey renewal for channel "
                              << update.channel << " not ours to make on " << link_.describe());
            return;
        }
        sendNewKey(update.channel, false, mine->second);
        return;
    }
    // The answer to our request names the far end's channel; a key the master renews of
    // its own accord is for ours.
    auto found = theirs != channels_.end() && theirs->second.asked ? theirs : mine;
    if (found == channels_.end() || master) {
        VOIP_TRACE(2, "H323\tNew key for an unknown channel " << update.channel << " on "
                                                              << link_.describe());
        return;
    }
    auto key = unwrapped(*update.sync);
    const std::uint8_t payloadType = payloadTypeOf(*update.sync, 0);
    // The payload type tells old packets from new ones: it must be dynamic and not the
    // current one.
    if (!key || payloadType == 0 || payloadType == found->second.payloadType) {
        VOIP_TRACE(2, "H323\tUnusable new key for channel " << update.channel << " on "
                                                            << link_.describe());
        return;
    }
    found->second.key = *key;
    found->second.payloadType = payloadType;
    found->second.asked = false;
    install(found->first.second, found->second);
    ++renewals_;
    if (update.command)
        link_.send(h245::buildEncryptionUpdateAck(update.channel, payloadType));
}

} // namespace voip::h323
