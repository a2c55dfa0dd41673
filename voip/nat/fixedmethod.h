#pragma once

#include "voip/nat/natmethod.h"

#include <mutex>
#include <optional>
#include <string>

namespace voip::nat {

/// The "Fixed" method: a public address the user configured (a router that
/// forwards the ports).  Nothing is queried; the NAT type is not known.
class FixedMethod : public NatMethod
{
public:
    std::string name() const override { return "Fixed"; }
    /// An IPv4 or IPv6 address.  "0.0.0.0" (what the manager sets for text
    /// that is no address) is kept but gives no external address.
    bool setServer(const std::string& server) override;
    std::string server() const override;
    NatType natType(Milliseconds maxAge) override;
    std::optional<asio::ip::address> externalAddress(Milliseconds maxAge) override;

private:
    mutable std::mutex mutex_; ///< guards address_ and text_
    std::optional<asio::ip::address> address_;
    std::string text_;
};

} // namespace voip::nat
