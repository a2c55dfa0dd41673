#include "voip/h225/traversal.h"

#include "voip/asn/codec.h"
#include "voip/h225/field.h"
#include "voip/h225/schema.h"

namespace voip::h225 {

namespace {

/// The parameter of feature 18's generic data that holds the IncomingCallIndication.
constexpr int IncomingCallParameter = 1;

bool isStandard(const asn::Value& identifier, int number)
{
    return identifier.is(field::standard) && identifier.chosen().integer() == number;
}

} // namespace

void addSupportedFeature(asn::Value& featureSet, int feature)
{
    if (!featureSet.has(field::replacementFeatureSet))
        featureSet.field(field::replacementFeatureSet).setBoolean(false);
    featureSet.field(field::supportedFeatures)
        .append()
        .field(field::id)
        .choose(field::standard)
        .setInteger(feature);
}

const asn::Value* findFeature(const asn::Value& featureSet, int feature)
{
    if (!featureSet.present())
        return nullptr;
    for (const auto list :
         {field::neededFeatures, field::desiredFeatures, field::supportedFeatures}) {
        if (!featureSet.has(list))
            continue;
        for (const asn::Value& descriptor : featureSet[list].elements())
            if (isStandard(descriptor[field::id], feature))
                return &descriptor;
    }
    return nullptr;
}

bool featureHasParameter(const asn::Value& descriptor, int id)
{
    if (!descriptor.has(field::parameters))
        return false;
    for (const asn::Value& parameter : descriptor[field::parameters].elements())
        if (isStandard(parameter[field::id], id))
            return true;
    return false;
}

asn::Result<std::vector<std::uint8_t>>
encodeIncomingCallIndication(const IncomingCallIndication& indication)
{
    const asn::Type* type = findType("IncomingCallIndication");
    if (!type)
        return asn::Error{"schema type IncomingCallIndication missing", 0, {}};
    asn::Value value(*type);
    setTransportAddress(value.field(field::callSignallingAddress),
                        indication.callSignallingAddress);
    setGuid(value.field(field::callID).field(field::guid), indication.callId);
    return asn::encode(value);
}

asn::Result<IncomingCallIndication>
decodeIncomingCallIndication(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = findType("IncomingCallIndication");
    if (!type)
        return asn::Error{"schema type IncomingCallIndication missing", 0, {}};
    std::size_t bits = 0;
    auto decoded = asn::decode(*type, bytes, bits);
    if (!decoded)
        return decoded.error();
    if ((bits + 7) / 8 != bytes.size())
        return asn::Error{"IncomingCallIndication followed by " +
                              std::to_string(bytes.size() - (bits + 7) / 8) + " more octets",
                          bits,
                          {}};
    auto address = transportAddressOf((*decoded)[field::callSignallingAddress]);
    if (!address || address->port == 0)
        return asn::Error{"IncomingCallIndication without an IP address to connect to", 0,
                          "callSignallingAddress"};
    IncomingCallIndication indication;
    indication.callSignallingAddress = *address;
    indication.callId = guidOf((*decoded)[field::callID][field::guid]);
    return indication;
}

std::optional<asn::Result<IncomingCallIndication>>
readIncomingCallIndication(const asn::Value& serviceControlIndication)
{
    if (!serviceControlIndication.has(field::genericData))
        return std::nullopt;
    for (const asn::Value& data : serviceControlIndication[field::genericData].elements()) {
        if (!isStandard(data[field::id], SignallingTraversalFeature))
            continue;
        if (data.has(field::parameters)) {
            for (const asn::Value& parameter : data[field::parameters].elements()) {
                if (!isStandard(parameter[field::id], IncomingCallParameter))
                    continue;
                if (!parameter.has(field::content) || !parameter[field::content].is(field::raw))
                    break;
                return decodeIncomingCallIndication(parameter[field::content].chosen().octets());
            }
        }
        return asn::Result<IncomingCallIndication>(
            asn::Error{"feature 18 without an IncomingCallIndication", 0, "genericData"});
    }
    return std::nullopt;
}

void setIncomingCallIndication(asn::Value& serviceControlIndication,
                               const IncomingCallIndication& indication)
{
    auto octets = encodeIncomingCallIndication(indication);
    if (!octets)
        return;
    asn::Value& data = serviceControlIndication.field(field::genericData).append();
    data.field(field::id).choose(field::standard).setInteger(SignallingTraversalFeature);
    asn::Value& parameter = data.field(field::parameters).append();
    parameter.field(field::id).choose(field::standard).setInteger(IncomingCallParameter);
    parameter.field(field::content).choose(field::raw).setOctets(*octets);
}

} // namespace voip::h225
