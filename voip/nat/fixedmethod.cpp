#include "voip/nat/fixedmethod.h"

namespace voip::nat {

bool FixedMethod::setServer(const std::string& server)
{
    asio::error_code ec;
    const auto address = asio::ip::make_address(server, ec);
    if (ec)
        return false;
    std::lock_guard lock(mutex_);
    address_ = address;
    text_ = server;
    return true;
}

std::string FixedMethod::server() const
{
    std::lock_guard lock(mutex_);
    return text_;
}

NatType FixedMethod::natType(Milliseconds)
{
    return NatType::Unknown;
}

std::optional<asio::ip::address> FixedMethod::externalAddress(Milliseconds)
{
    std::lock_guard lock(mutex_);
    if (!address_ || address_->is_unspecified())
        return std::nullopt;
    return address_;
}

} // namespace voip::nat
