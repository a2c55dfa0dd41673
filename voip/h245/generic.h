#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "voip/asn/value.h"

// Helpers for the parameter lists of GenericCapability and GenericMessage (SEQUENCE OF
// GenericParameter), shared by the capability and H.239 helpers. Internal to voip_h245.
namespace voip::h245::detail {

/// Appends a standard-identified parameter to a SEQUENCE OF GenericParameter.
/// `valueKind` is a ParameterValue alternative; "logical" takes no value.
void addParameter(asn::Value& list, int id, std::string_view valueKind, std::int64_t value = 0);

/// The parameter with standard identifier `id` in a SEQUENCE OF GenericParameter, or null.
const asn::Value* findParameter(const asn::Value& list, int id);

/// The numeric value of the standard parameter `id`, nullopt when absent or not numeric.
std::optional<std::uint32_t> parameterNumber(const asn::Value& list, int id);

/// The number if it fits in T, else nullopt.
template <class T> std::optional<T> narrow(std::optional<std::uint32_t> number)
{
    if (!number || *number > std::numeric_limits<T>::max())
        return std::nullopt;
    return static_cast<T>(*number);
}

/// Sets a CapabilityIdentifier (or messageIdentifier) to a standard OID.
void setStandardIdentifier(asn::Value& identifier, std::span<const std::uint64_t> arcs);

/// True when a CapabilityIdentifier is the standard OID `arcs`.
bool isStandardIdentifier(const asn::Value& identifier, std::span<const std::uint64_t> arcs);

} // namespace voip::h245::detail
