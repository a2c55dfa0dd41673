#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "voip/asn/value.h"

namespace voip::h323 {

/// How the H.245 messages of one call travel: tunnelled in its call signalling messages,
/// or on a TCP connection of their own.  Tunnelling is wanted or not by us, and decided
/// by the far end's first answer (both must want it); until then messages go as though
/// it were on.  Messages wait until they can go: tunnelled ones for the next signalling
/// message, the others for the H.245 connection, at most 256 each way.  A message that
/// cannot be encoded is dropped.
///
/// Network thread.
class H245Transport
{
public:
    using Encoded = std::vector<std::uint8_t>;
    /// Writes one encoded message on the H.245 connection.
    using Writer = std::function<void(std::span<const std::uint8_t>)>;

    explicit H245Transport(bool tunnellingWanted)
        : wanted_(tunnellingWanted)
    {}

    /// Tunnelling is wanted after all (a call whose H.245 cannot be reached from outside);
    /// no effect once decided.
    void wantTunnelling()
    {
        if (!decided_)
            wanted_ = true;
    }
    /// The far end asks for an H.245 connection instead of tunnelling: messages not
    /// tunnelled yet wait for that connection.
    void leaveTunnelling();
    /// The far end said whether it tunnels; true when the call tunnels from now on.
    bool decide(bool remoteTunnels);
    bool decided() const { return decided_; }
    /// Whether messages go tunnelled: as decided, or as wanted until then.
    bool tunnels() const { return decided_ ? tunnelling_ : wanted_; }
    /// Whether the call was decided to tunnel.
    bool tunnelling() const { return decided_ && tunnelling_; }
    /// Whether the H.245 connection is attached.
    bool connected() const { return bool(writer_); }

    /// Sends `message`, or keeps it until it can go.  False when it cannot be encoded.
    bool send(const asn::Value& message);
    /// Whether tunnelled messages wait for a signalling message.
    bool tunnelledWaiting() const { return !tunnelled_.empty(); }
    /// The tunnelled messages waiting, in order, for the signalling message about to go.
    std::vector<Encoded> takeTunnelled();
    /// The H.245 connection is up: what waited for it goes first, in order.
    void attach(Writer writer);
    /// The H.245 session starts again (tunnelling was refused after messages went in the
    /// Setup): tunnelled messages not sent yet are dropped.
    void reset() { tunnelled_.clear(); }

private:
    bool wanted_;
    bool decided_ = false;
    bool tunnelling_ = false;
    std::vector<Encoded> tunnelled_;
    std::vector<Encoded> waiting_; ///< for the H.245 connection
    Writer writer_;
};

} // namespace voip::h323
