#include "voip/natmethod.h"

namespace voip {

std::string_view natTypeName(NatType type)
{
    switch (type) {
    case NatType::Unknown:
        return "Unknown";
    case NatType::Open:
        return "Open";
    case NatType::FullCone:
        return "Full Cone";
    case NatType::RestrictedCone:
        return "Restricted Cone";
    case NatType::PortRestrictedCone:
        return "Port Restricted Cone";
    case NatType::Symmetric:
        return "Symmetric";
    case NatType::SymmetricFirewall:
        return "Symmetric Firewall";
    case NatType::Blocked:
        return "Blocked";
    case NatType::PartiallyBlocked:
        return "Partially Blocked";
    }
    return "Unknown";
}

} // namespace voip
