#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/ip/address.hpp>

namespace voip::nat {

/// What a NAT-type test found (RFC 3489 10.1 classification).
enum class NatType
{
    Unknown,
    Open,              ///< no NAT, no firewall
    ConeNat,           ///< full cone
    RestrictedNat,     ///< address restricted cone
    PortRestrictedNat, ///< port restricted cone
    SymmetricNat,
    SymmetricFirewall, ///< no NAT, but unsolicited packets are blocked
    Blocked,           ///< no answer from the server at all
    PartiallyBlocked,  ///< the server's other address does not answer
};

const char* toString(NatType type);

/// True for addresses that never leave the local network: loopback, RFC 1918
/// private, link-local (IPv4 169.254/16, IPv6 fe80::/10), IPv6 unique local
/// (fc00::/7) and the unspecified address.  IPv4-mapped IPv6 addresses are
/// judged by their IPv4 part.
bool isLocalAddress(const asio::ip::address& address);

/// A way to learn the public address under which peers outside the local
/// network reach us.  Methods are found by name ("STUN", "Fixed").
///
/// Thread-safe: every member may be called from any thread; queries block the
/// calling thread until answered or timed out.
class NatMethod
{
public:
    using Milliseconds = std::chrono::milliseconds;
    /// A maximum age that takes any remembered answer.
    static constexpr Milliseconds AnyAge{2147483647};

    virtual ~NatMethod() = default;

    virtual std::string name() const = 0;

    void activate(bool active) { active_ = active; }
    bool isActive() const { return active_; }

    /// Sets the server (STUN: "host[:port]") or the configured address (Fixed).
    /// Returns false, keeping the previous setting, for text it cannot use.
    virtual bool setServer(const std::string& server) = 0;
    virtual std::string server() const = 0;

    /// The NAT type, from a remembered answer at most `maxAge` old, otherwise
    /// from a new query (0 always queries).
    virtual NatType natType(Milliseconds maxAge) = 0;

    /// The public address, or nothing when it is not known (server silent,
    /// nothing configured).  Same `maxAge` rule as natType.
    virtual std::optional<asio::ip::address> externalAddress(Milliseconds maxAge) = 0;

    /// True when the peer is outside the local network, so that it must be
    /// given the public address.
    virtual bool isOutside(const asio::ip::address& peer) const { return !isLocalAddress(peer); }

private:
    std::atomic<bool> active_{false};
};

/// The manager's list of methods, looked up by name, and the address
/// translation the engine applies to every address it announces.
class NatMethodList
{
public:
    void add(std::unique_ptr<NatMethod> method);
    /// The method of that name, or null.
    NatMethod* find(const std::string& name) const;
    const std::vector<std::unique_ptr<NatMethod>>& methods() const { return methods_; }

    /// The address to announce to `peer` for a socket on `local`: the public
    /// address of the first active method that knows one when the peer is
    /// outside the local network; `local` otherwise.
    asio::ip::address translate(const asio::ip::address& local, const asio::ip::address& peer,
                                NatMethod::Milliseconds maxAge = std::chrono::seconds(60)) const;

private:
    std::vector<std::unique_ptr<NatMethod>> methods_;
};

} // namespace voip::nat
