#include "voip/h245/traversal.h"

#include "voip/asn/codec.h"
#include "voip/h245/field.h"
#include "voip/h245/generic.h"
#include "voip/h245/schema.h"

namespace voip::h245 {

namespace {

constexpr std::uint64_t MediaTraversalOid[] = {0, 0, 8, 460, 19, 0, 1};
/// The parameter of the generic information that holds TraversalParameters.
constexpr int TraversalParametersId = 1;

void setOptionalAddress(asn::Value& sequence, std::string_view name,
                        const std::optional<MediaAddress>& address)
{
    if (address)
        setTransportAddress(sequence.field(name), *address);
}

std::optional<MediaAddress> readOptionalAddress(const asn::Value& sequence, std::string_view name)
{
    return sequence.has(name) ? readTransportAddress(sequence[name]) : std::nullopt;
}

} // namespace

asn::Result<std::vector<std::uint8_t>> encodeTraversalParameters(const TraversalParameters& value)
{
    const asn::Type* type = findType("TraversalParameters");
    if (!type)
        return asn::Error{"schema type TraversalParameters missing", 0, {}};
    asn::Value parameters(*type);
    setOptionalAddress(parameters, field::multiplexedMediaChannel, value.multiplexedMediaChannel);
    setOptionalAddress(parameters, field::multiplexedMediaControlChannel,
                       value.multiplexedMediaControlChannel);
    if (value.multiplexId)
        parameters.field(field::multiplexID).setInteger(*value.multiplexId);
    setOptionalAddress(parameters, field::keepAliveChannel, value.keepAliveChannel);
    if (value.keepAlivePayloadType)
        parameters.field(field::keepAlivePayloadType).setInteger(*value.keepAlivePayloadType);
    if (value.keepAliveInterval)
        parameters.field(field::keepAliveInterval).setInteger(*value.keepAliveInterval);
    return asn::encode(parameters);
}

asn::Result<TraversalParameters> decodeTraversalParameters(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = findType("TraversalParameters");
    if (!type)
        return asn::Error{"schema type TraversalParameters missing", 0, {}};
    auto decoded = asn::decode(*type, bytes);
    if (!decoded)
        return decoded.error();
    const asn::Value& parameters = *decoded;
    TraversalParameters value;
    value.multiplexedMediaChannel = readOptionalAddress(parameters, field::multiplexedMediaChannel);
    value.multiplexedMediaControlChannel =
        readOptionalAddress(parameters, field::multiplexedMediaControlChannel);
    if (parameters.has(field::multiplexID))
        value.multiplexId = std::uint32_t(parameters[field::multiplexID].integer());
    value.keepAliveChannel = readOptionalAddress(parameters, field::keepAliveChannel);
    if (parameters.has(field::keepAlivePayloadType))
        value.keepAlivePayloadType =
            std::uint8_t(parameters[field::keepAlivePayloadType].integer());
    if (parameters.has(field::keepAliveInterval))
        value.keepAliveInterval = std::uint32_t(parameters[field::keepAliveInterval].integer());
    return value;
}

void addMediaTraversal(asn::Value& genericInformation, const MediaTraversal& traversal)
{
    asn::Value& entry = genericInformation.append();
    detail::setStandardIdentifier(entry.field(field::messageIdentifier), MediaTraversalOid);
    if (!traversal.parameters)
        return;
    auto octets = encodeTraversalParameters(*traversal.parameters);
    if (!octets)
        return;
    asn::Value& parameter = entry.field(field::messageContent).append();
    parameter.field(field::parameterIdentifier)
        .choose(field::standard)
        .setInteger(TraversalParametersId);
    parameter.field(field::parameterValue).choose(field::octetString).setOctets(*octets);
}

std::optional<MediaTraversal> readMediaTraversal(const asn::Value& genericInformation)
{
    for (const asn::Value& entry : genericInformation.elements()) {
        if (!detail::isStandardIdentifier(entry[field::messageIdentifier], MediaTraversalOid))
            continue;
        MediaTraversal traversal;
        const asn::Value* parameter =
            entry.has(field::messageContent)
                ? detail::findParameter(entry[field::messageContent], TraversalParametersId)
                : nullptr;
        if (!parameter)
            return traversal;
        const asn::Value& value = (*parameter)[field::parameterValue];
        if (!value.is(field::octetString)) {
            traversal.malformed = true;
            return traversal;
        }
        auto decoded = decodeTraversalParameters(value.chosen().octets());
        if (decoded)
            traversal.parameters = std::move(decoded.value());
        else
            traversal.malformed = true;
        return traversal;
    }
    return std::nullopt;
}

} // namespace voip::h245
