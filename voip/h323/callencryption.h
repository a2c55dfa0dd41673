#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "voip/asn/value.h"
#include "voip/h235/keyagreement.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/channels.h"
#include "voip/h323/controllink.h"

namespace voip::rtp {
class RtpSession;
}

namespace voip::h323 {

/// Whether a call's media is encrypted.
enum class MediaEncryption : std::uint8_t
{
    Off,         ///< never: no key agreement offered, every channel clear
    WhenPeerCan, ///< every channel the far end takes encrypted; the others clear
    Required,    ///< every channel encrypted, or no call
};

/// What becomes of one of our channels.
enum class ChannelSeal : std::uint8_t
{
    Clear,
    Encrypted,
    Refused, ///< it cannot go encrypted and clear is not allowed: not opened
};

/// The media encryption of one call: a Diffie-Hellman agreement in the Setup and the
/// Connect, an AES-128 key per channel and direction made by the H.245 master and sent
/// wrapped in the agreed key, and the channels' RTP payloads encrypted with it.
///
/// The agreement: each side sends its half key in the 1024-bit group's token (and the
/// group's other name bare beside it).  A far end whose half key, group or numbers cannot
/// be used counts as one that does not encrypt.  Security entries go into our capability
/// set once tokens went both ways.
///
/// The keys: the master makes the key of its own channel and sends it in the channel's
/// OpenLogicalChannel; it makes the key of the slave's channel too and sends it in its
/// Ack.  Encrypted media is marked with a dynamic payload type (the format's own, or 120
/// for a static one), which the key goes with.  fastStart channels stay clear.
///
/// Renewal: a far end may ask for a new key of a channel; the master makes one and sends
/// it with the other of two payload types, so that the receiver tells old packets from new
/// ones.
///
/// Network thread, apart from the atomics read by the accessors marked "any thread".
class CallEncryption
{
public:
    /// The payload type of encrypted media whose format has a static one (G.711, G.722).
    static constexpr std::uint8_t PayloadType = 120;

    /// `agreement`: our half of the key agreement when it is known beforehand (checking
    /// against recorded calls); otherwise one is made when first needed.
    CallEncryption(MediaEncryption policy, bool caller, ControlLink& link,
                   std::optional<h235::KeyAgreement> agreement = std::nullopt);
    ~CallEncryption();
    CallEncryption(const CallEncryption&) = delete;
    CallEncryption& operator=(const CallEncryption&) = delete;

    MediaEncryption policy() const { return policy_; }
    /// fastStart channels go clear: with Required none are offered or answered.
    bool allowsFastStart() const { return policy_ != MediaEncryption::Required; }

    // --- the agreement, in the Setup and the Connect ---

    /// Adds our half of the agreement to a Setup's or Connect's body (nothing with Off).
    void offer(asn::Value& body);
    /// The far end's Setup or Connect body.
    void peerOffered(const asn::Value& body);
    /// The far end offered a usable agreement (any thread).
    bool peerOffers() const { return peerOffers_.load(); }
    /// Keys can be made: tokens went both ways and the secret is known (any thread).
    bool agreed() const { return agreed_.load(); }
    /// A caller that offers learns from the Connect whether the far end agrees: its
    /// capability set waits for that (the security entries depend on it).
    bool capabilitiesWait() const;
    /// True (and remembered) when our capability set must wait now; releaseCapabilities
    /// tells, once the wait is over, whether one waited.
    bool holdCapabilities();
    bool releaseCapabilities();
    /// Whether the call must end for want of encryption: Required, and the far end's Setup
    /// or Connect came without a usable agreement, or its capability set secures nothing
    /// of ours.
    bool refusesAgreement() const;
    bool refusesCapabilities(const h245::CapabilitySet& theirs) const;

    // --- channels ---

    /// Our channel `parameters`, to the far end's receive entry `entry` of `theirs`:
    /// encrypted when the keys are agreed and the far end secures that entry.  Then the
    /// data type is wrapped, the payload type set, and, as master, the key added.
    ChannelSeal sealTransmit(h245::LogicalChannel& parameters, const h245::CapabilitySet& theirs,
                             const h245::Capability& entry, bool master);
    /// The far end acknowledged our channel, with `sync` in its Ack: `session` sends
    /// encrypted from now on.  False for an encrypted channel whose key did not come or
    /// does not unwrap.
    bool transmitAcknowledged(std::uint16_t number, const std::optional<h245::EncryptionSync>& sync,
                              const std::shared_ptr<rtp::RtpSession>& session);
    /// Our channel `number` is not opened after all (refused, closed).
    void transmitClosed(std::uint16_t number);
    /// The far end opens `request` with its payload type `payloadType`: the cause to reject
    /// it with (empty: accepted).  As master, the key goes into `ack`; `session` decrypts
    /// from now on.
    std::string_view sealReceive(const h245::LogicalChannel& request, std::uint8_t payloadType,
                                 bool master, h245::LogicalChannelAck& ack,
                                 const std::shared_ptr<rtp::RtpSession>& session);
    void receiveClosed(std::uint16_t number);

    // --- renewal ---
    //
    // A renewal names a channel the command's recipient sends on, as the far end numbered
    // it: the side that receives a channel asks its sender (a request to a master), or, as
    // master, sends the new key to the sender.  A master answering a request for its own
    // channel goes on sending with the old key for SwitchDelay, so that the new key reaches
    // the receiver first.

    static constexpr std::chrono::milliseconds SwitchDelay{300};

    /// A new key for the far end's channel `number` (one we receive): made and sent at
    /// once as master, asked of the master otherwise.  False when that channel is not
    /// encrypted.
    bool renewKey(std::uint16_t number, bool master);
    /// A MiscellaneousCommand renewing a key.
    void onUpdate(const h245::EncryptionUpdate& update, bool master);
    /// Keys renewed in this call (any thread).
    unsigned renewals() const { return renewals_.load(); }

private:
    struct ChannelKey
    {
        h235::Key key{};
        std::uint8_t mediaPayloadType = 0; ///< the one the channel opened with
        std::uint8_t payloadType = 0;      ///< the one the current key goes with
        std::weak_ptr<rtp::RtpSession> session;
        bool made = false; ///< we made the key (as master)
        bool asked = false; ///< we asked the master for a new key of it
        std::shared_ptr<ControlTimer> switching; ///< until our sender takes the new key
    };
    using Channels = std::map<std::pair<std::uint16_t, bool>, ChannelKey>;

    /// A fresh media key, and how it travels with `payloadType` wrapped in the agreed key.
    struct NewKey
    {
        h235::Key key;
        h245::EncryptionSync sync;
    };
    std::optional<NewKey> newKey(std::uint8_t payloadType) const;
    std::optional<h235::Key> unwrapped(const h245::EncryptionSync& sync) const;
    /// Sends a new key for the channel and starts using it.
    void sendNewKey(std::uint16_t number, bool fromRemote, ChannelKey& channel);
    void install(bool fromRemote, const ChannelKey& channel);

    const MediaEncryption policy_;
    const bool caller_;
    ControlLink& link_;
    std::optional<h235::KeyAgreement> ours_;
    std::optional<h235::Key> wrapping_;
    bool answered_ = false; ///< the far end's Setup (we are called) or Connect came
    bool capabilitiesHeld_ = false;
    bool noKeysFromPeer_ = false; ///< a master that acknowledged our channel without its key
    /// Keys of our channels (false) and the far end's (true), by channel number.
    Channels channels_;
    std::atomic<bool> peerOffers_{false};
    std::atomic<bool> agreed_{false};
    std::atomic<unsigned> renewals_{0};
};

} // namespace voip::h323
