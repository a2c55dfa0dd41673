#pragma once

#include "voip/nat/natmethod.h"
#include "voip/nat/stunmessage.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

namespace voip::nat {

/// Timing of STUN transactions.  RFC 5389 7.2.1: an RTO that doubles after each
/// send, Rc sends, and a last wait of Rm x RTO; the whole transaction is also
/// capped so that a silent server never blocks a caller for long.
struct StunTiming
{
    std::chrono::milliseconds initialRto{500};
    int maxTransmissions = 7; ///< Rc
    int lastWaitFactor = 16;  ///< Rm
    std::chrono::milliseconds maxTransactionTime{2000};
};

/// The "STUN" method: RFC 5389 Binding requests for the external address and
/// the RFC 3489 NAT-type test (with RFC 5780 CHANGE-REQUEST and OTHER-ADDRESS).
class StunMethod : public NatMethod
{
public:
    static constexpr uint16_t DefaultPort = 3478;

    explicit StunMethod(StunTiming timing = {});

    std::string name() const override { return "STUN"; }
    /// "host", "host:port", "[v6]:port" or a bare IPv6 address; the name is
    /// resolved at query time.
    bool setServer(const std::string& server) override;
    std::string server() const override;
    NatType natType(Milliseconds maxAge) override;
    std::optional<asio::ip::address> externalAddress(Milliseconds maxAge) override;

    /// The mapped port of the last Binding answer (0 when none).
    uint16_t externalPort() const;
    void setTiming(const StunTiming& timing);

private:
    struct Probe;
    /// What a query works with, copied when it starts.
    struct Query
    {
        std::string host;
        uint16_t port;
        StunTiming timing;
        uint64_t generation;
    };
    Query startQuery();
    /// Keeps a query's mapped address unless the server changed meanwhile.
    void storeMapped(const Query& query, std::optional<asio::ip::udp::endpoint> mapped);
    static std::optional<asio::ip::udp::endpoint> resolveServer(const std::string& host,
                                                                uint16_t port);
    NatType runTypeTest(Probe& probe, const asio::ip::udp::endpoint& server, const Query& query);
    bool remembered(std::chrono::steady_clock::time_point when, Milliseconds maxAge) const;

    /// Serialises queries; held across the network.
    std::mutex queryMutex_;
    /// Guards every member below; never held across the network.
    mutable std::mutex mutex_;
    uint64_t generation_ = 0; ///< counts server changes
    StunTiming timing_;
    std::string serverText_;
    std::string host_;
    uint16_t port_ = DefaultPort;

    std::optional<asio::ip::udp::endpoint> mapped_;
    std::chrono::steady_clock::time_point mappedAt_;
    std::optional<NatType> type_;
    std::chrono::steady_clock::time_point typeAt_;
};

} // namespace voip::nat
