#include "voip/nat/natmethod.h"

namespace voip::nat {

const char* toString(NatType type)
{
    switch (type) {
    case NatType::Unknown:
        return "Unknown NAT";
    case NatType::Open:
        return "Open NAT";
    case NatType::ConeNat:
        return "Cone NAT";
    case NatType::RestrictedNat:
        return "Restricted NAT";
    case NatType::PortRestrictedNat:
        return "Port Restricted NAT";
    case NatType::SymmetricNat:
        return "Symmetric NAT";
    case NatType::SymmetricFirewall:
        return "Symmetric Firewall";
    case NatType::Blocked:
        return "Blocked";
    case NatType::PartiallyBlocked:
        return "Partially Blocked";
    }
    return "Unknown NAT";
}

bool isLocalAddress(const asio::ip::address& address)
{
    if (address.is_v6()) {
        const auto v6 = address.to_v6();
        if (v6.is_v4_mapped())
            return isLocalAddress(asio::ip::make_address_v4(asio::ip::v4_mapped, v6));
        const auto bytes = v6.to_bytes();
        return v6.is_loopback() || v6.is_unspecified() || v6.is_link_local() ||
               (bytes[0] & 0xfe) == 0xfc;
    }
    const uint32_t a = address.to_v4().to_uint();
    return (a >> 24) == 127 ||    // 127/8 loopback
           (a >> 24) == 10 ||     // 10/8
           (a >> 20) == 0xac1 ||  // 172.16/12
           (a >> 16) == 0xc0a8 || // 192.168/16
           (a >> 16) == 0xa9fe || // 169.254/16 link-local
           a == 0;
}

void NatMethodList::add(std::unique_ptr<NatMethod> method)
{
    if (method)
        methods_.push_back(std::move(method));
}

NatMethod* NatMethodList::find(const std::string& name) const
{
    for (const auto& method : methods_)
        if (method->name() == name)
            return method.get();
    return nullptr;
}

asio::ip::address NatMethodList::translate(const asio::ip::address& local,
                                           const asio::ip::address& peer,
                                           NatMethod::Milliseconds maxAge) const
{
    for (const auto& method : methods_) {
        if (!method->isActive() || !method->isOutside(peer))
            continue;
        if (auto external = method->externalAddress(maxAge))
            return *external;
    }
    return local;
}

} // namespace voip::nat
