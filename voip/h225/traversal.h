#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"

// What H.225.0 messages carry for calls through a traversal gatekeeper: the features
// announced in feature sets, and the incoming call a gatekeeper announces in a
// ServiceControlIndication.
namespace voip::h225 {

/// H.460 features the engine knows by number.
inline constexpr int SignallingTraversalFeature = 18; ///< H.460.18
inline constexpr int MediaTraversalFeature = 19;      ///< H.460.19
/// Parameters of feature 19.
inline constexpr int SupportTransmitMultiplexedMedia = 1;
inline constexpr int MediaTraversalServer = 2;

/// Makes `featureSet` (a FeatureSet) announce `feature` as supported, with no parameters
/// and replacementFeatureSet FALSE.
void addSupportedFeature(asn::Value& featureSet, int feature);
/// The descriptor of a standard feature in a FeatureSet (or a Setup-UUIE, which lists its
/// features itself), needed, desired or supported; null when absent.
const asn::Value* findFeature(const asn::Value& featureSet, int feature);
/// Whether a feature descriptor (GenericData) lists the standard parameter `id`.
bool featureHasParameter(const asn::Value& descriptor, int id);

/// A traversal gatekeeper's word that a call waits for us: connect to
/// `callSignallingAddress` and the call's Setup comes on that connection.
struct IncomingCallIndication
{
    IpAddressPort callSignallingAddress;
    Guid callId{};

    bool operator==(const IncomingCallIndication&) const = default;
};

asn::Result<std::vector<std::uint8_t>>
encodeIncomingCallIndication(const IncomingCallIndication& indication);
/// An error when the octets do not decode or the address is not an IP address.
asn::Result<IncomingCallIndication>
decodeIncomingCallIndication(std::span<const std::uint8_t> bytes);

/// The IncomingCallIndication in a ServiceControlIndication body (its genericData of
/// feature 18, parameter 1, raw); nothing when it has none; an error when it is malformed.
std::optional<asn::Result<IncomingCallIndication>>
readIncomingCallIndication(const asn::Value& serviceControlIndication);
/// Puts `indication` in a ServiceControlIndication body, as traversal gatekeepers do.
void setIncomingCallIndication(asn::Value& serviceControlIndication,
                               const IncomingCallIndication& indication);

} // namespace voip::h225
