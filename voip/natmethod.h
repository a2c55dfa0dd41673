#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace voip {

/// NAT classification of RFC 3489 5.
enum class NatType
{
    Unknown,
    Open,
    FullCone,
    RestrictedCone,
    PortRestrictedCone,
    Symmetric,
    SymmetricFirewall,
    Blocked,
    PartiallyBlocked,
};

std::string_view natTypeName(NatType type);

/// A way of learning the address the outside world sees for this host ("STUN", "Fixed").
/// The manager looks methods up by name, switches them on and off, gives them their
/// server and asks them for the external address and the NAT type.
///
/// The NAT layer's own classes implement this, directly or through an adapter at the top
/// of the engine, so that the NAT layer does not depend on the manager.  Implementations
/// must be callable from any thread (the manager calls them from the application's thread,
/// the transports from the engine's threads).
class NatMethod
{
public:
    virtual ~NatMethod() = default;

    /// The name the manager looks the method up by, e.g. "STUN".
    virtual std::string name() const = 0;

    virtual void activate(bool active) = 0;
    virtual bool isActive() const = 0;

    /// The server, as "host" or "host:port" text (for "Fixed": the public address).
    /// Returns false when the text cannot be used; the previous server stays.
    virtual bool setServer(std::string_view server) = 0;
    virtual std::string server() const = 0;

    /// The external address as text ("203.0.113.7"), or nothing when it is not known.
    /// An answer remembered for at most `maxAge` is reused; otherwise the method asks
    /// again, which may block until its server answers or times out.
    virtual std::optional<std::string> externalAddress(std::chrono::milliseconds maxAge) = 0;

    /// The NAT type, reusing an answer remembered for at most `maxAge` (may block like
    /// externalAddress()).
    virtual NatType natType(std::chrono::milliseconds maxAge) = 0;
};

} // namespace voip
