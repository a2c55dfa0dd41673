#pragma once

// The call side of a traversal gatekeeper for tests, as the one the reference captures show
// does it: calls are routed through it; an endpoint inside a NAT is told of a call for it by
// a ServiceControlIndication and connects out, then sends a Facility naming the call; H.245
// is relayed (tunnelled, or on a connection the inside endpoint opens after a Facility
// startH245); media is relayed by a proxy port pair per session and side, which learns
// where the inside endpoint is from its keep-alives.  Endpoints outside must tunnel H.245.
//
// Threads: one event loop of its own, started in the constructor; the sockets it makes are
// in the network namespace of the thread that constructed it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "voip/h225/address.h"
#include "voip/h225/traversal.h"

namespace voip::testutil {

/// How the server treats the endpoints inside the NAT.
struct TraversalOptions
{
    enum class H245
    {
        Tunnelled, ///< H.245 stays tunnelled in the call signalling
        StartH245, ///< after the Connect, a Facility startH245 names the server's H.245 port
    };
    H245 h245 = H245::Tunnelled;
    /// Feature 19 also offers multiplexed media (parameter 1), as some servers do.
    bool offerMultiplexing = false;
    /// TraversalParameters in the OpenLogicalChannels to inside endpoints: the
    /// keepAliveInterval (nothing: left out), and whether the keepAliveChannel is given.
    std::optional<std::uint32_t> keepAliveInterval = 19;
    bool keepAliveChannel = true;
    /// Where the server takes calls (0: any free port; 1720 where tshark is to read them).
    std::uint16_t port = 0;
};

class TraversalServer
{
public:
    /// What the server asks of its gatekeeper.
    struct Registration
    {
        h225::IpAddressPort signalAddress;
        bool traversal = false; ///< the endpoint asked for H.460.18: it sits inside a NAT
    };
    struct Directory
    {
        virtual ~Directory() = default;
        virtual std::optional<Registration> find(const std::string& alias) = 0;
        /// Sends the ServiceControlIndication to the endpoint registered as `alias`.
        virtual bool announce(const std::string& alias,
                              const h225::IncomingCallIndication& indication) = 0;
    };

    /// Listens for call signalling on `address`, at the port of `options`.
    TraversalServer(Directory& directory, const asio::ip::address& address,
                    TraversalOptions options);
    ~TraversalServer();
    TraversalServer(const TraversalServer&) = delete;
    TraversalServer& operator=(const TraversalServer&) = delete;

    h225::IpAddressPort signalAddress() const;

    /// Counted as they come: RTP and RTCP keep-alives received, media packets relayed,
    /// Facility startH245 sent, empty TPKTs received on call signalling connections.
    std::size_t mediaKeepAlives() const;
    std::size_t relayedPackets() const;
    std::size_t startH245Sent() const;
    std::size_t signallingKeepAlives() const;
    /// The first message each inside endpoint sent on a connection it opened after an
    /// announcement (its Q.931 octets, without the TPKT header), in order.
    std::vector<std::vector<std::uint8_t>> announcementAnswers() const;
    /// Every RTP keep-alive datagram received, as it came, by the relay port it came to.
    std::map<std::uint16_t, std::vector<std::vector<std::uint8_t>>> rtpKeepAlives() const;
    /// The TraversalParameters octets inside endpoints put in their OpenLogicalChannelAcks.
    std::vector<std::vector<std::uint8_t>> ackParameters() const;
    /// Calls under way.
    std::size_t calls() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace voip::testutil
