#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "voip/h323/connection.h"
#include "voip/h323/endpoint.h"

class KxManager;

/// The client's H.323 endpoint: listens from construction on, with a fixed initial
/// bandwidth, alphanumeric user input, fastStart and tunnelling; makes KxH323Connections.
class KxH323EndPoint : public voip::h323::EndPoint
{
public:
    /// Listens on `address` (empty: every interface) and `port`; a listener that cannot
    /// start is reported ("H.323 failed to start!") and the endpoint stays without one.
    KxH323EndPoint(KxManager& manager, const std::string& address = {},
                   std::uint16_t port = voip::h323::DefaultSignallingPort);

    KxManager& kxManager() const { return manager_; }

    /// Sets both initial bandwidths to the fixed 8,192,000 bit/s again.
    void resetBandwidth();

    std::shared_ptr<voip::h323::Connection>
    createConnection(const std::shared_ptr<voip::Call>& call, const std::string& address,
                     const voip::StringOptions& options, const voip::q931::Message* setup) override;
    /// A Facility redirects the call: the manager dials `forwardParty` once the call has
    /// cleared (true: the engine does nothing more).
    bool OnConnectionForwarded(voip::h323::Connection& connection, const std::string& forwardParty,
                               const voip::q931::Message& message) override;

    static constexpr std::uint64_t InitialBandwidth = 8'192'000;

private:
    KxManager& manager_;
};

/// One H.323 call leg of the client: the far end's H.239 presentation switches the
/// manager's presentation state.
class KxH323Connection : public voip::h323::Connection
{
public:
    KxH323Connection(const std::shared_ptr<voip::Call>& call, KxH323EndPoint& endpoint,
                     std::string address, voip::StringOptions options, bool incoming);

    /// The channel of the far end's last presentation token request; 0 before one.
    std::uint32_t presentationChannel() const { return presentationChannel_.load(); }

    bool OnH239PresentationRequest(unsigned channel, unsigned symmetryBreaking,
                                   unsigned terminalLabel) override;
    bool OnMiscellaneousIndication(const voip::h245::ChannelEvent& indication) override;
    void OnIncomingBearerCapability(const voip::q931::Message& setup) override;

private:
    KxH323EndPoint& kxEndpoint_;
    std::atomic<std::uint32_t> presentationChannel_{0};
};
