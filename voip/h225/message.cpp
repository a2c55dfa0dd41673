#include "voip/h225/message.h"

#include "voip/asn/codec.h"
#include "voip/h225/identity.h"
#include "voip/h225/schema.h"
#include "voip/h225/field.h"

namespace voip::h225 {

namespace {

asn::Error schemaError()
{
    const auto& loaded = loadSchema();
    return loaded.ok() ? asn::Error{"schema type missing", 0, {}} : loaded.error();
}

const asn::Value& absentValue()
{
    static const asn::Value kAbsent;
    return kAbsent;
}

int indexIn(std::string_view typeName, std::string_view name)
{
    const asn::Type* type = findType(typeName);
    return type ? type->indexOf(name) : -1;
}

std::string_view nameIn(std::string_view typeName, int index)
{
    const asn::Type* type = findType(typeName);
    if (!type || index < 0 || static_cast<std::size_t>(index) >= type->components.size()) {
        return {};
    }
    return type->components[static_cast<std::size_t>(index)].name;
}

} // namespace

asn::Value newUserInformation(std::string_view body)
{
    const asn::Type* type = userInformationType();
    if (!type) {
        return {};
    }
    asn::Value message(*type);
    asn::Value& pdu = message.field(field::h323_uu_pdu);
    asn::Value& bodyChoice = pdu.field(field::h323_message_body);
    if (bodyChoice.type()->indexOf(body) < 0) {
        return {};
    }
    asn::Value& value = bodyChoice.choose(body);
    if (value.kind() == asn::Kind::Sequence) {
        const int protocol = value.type()->indexOf(field::protocolIdentifier);
        if (protocol >= 0) {
            setProtocolIdentifier(value.field(protocol));
        }
    }
    pdu.field(field::h245Tunnelling).setBoolean(false);
    return message;
}

const asn::Value& uuPdu(const asn::Value& userInformation)
{
    return userInformation[field::h323_uu_pdu];
}

asn::Value& uuPdu(asn::Value& userInformation)
{
    return userInformation.field(field::h323_uu_pdu);
}

std::string_view bodyName(const asn::Value& userInformation)
{
    return uuPdu(userInformation)[field::h323_message_body].choiceName();
}

const asn::Value& messageBody(const asn::Value& userInformation)
{
    const asn::Value& body = uuPdu(userInformation)[field::h323_message_body];
    return body.present() ? body.chosen() : absentValue();
}

asn::Value& messageBody(asn::Value& userInformation)
{
    return uuPdu(userInformation).field(field::h323_message_body).chosen();
}

asn::Result<asn::Value> decodeUserInformation(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = userInformationType();
    if (!type) {
        return schemaError();
    }
    return asn::decode(*type, bytes);
}

asn::Result<std::vector<std::uint8_t>> encodeUserInformation(const asn::Value& userInformation)
{
    const asn::Type* type = userInformationType();
    if (!type) {
        return schemaError();
    }
    if (userInformation.type() != type) {
        return asn::Error{"not an H323-UserInformation value", 0, {}};
    }
    return asn::encode(userInformation);
}

asn::Result<asn::Value> decodeRasMessage(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = rasMessageType();
    if (!type) {
        return schemaError();
    }
    return asn::decode(*type, bytes);
}

asn::Result<std::vector<std::uint8_t>> encodeRasMessage(const asn::Value& rasMessage)
{
    const asn::Type* type = rasMessageType();
    if (!type) {
        return schemaError();
    }
    if (rasMessage.type() != type) {
        return asn::Error{"not a RasMessage value", 0, {}};
    }
    return asn::encode(rasMessage);
}

int facilityReasonIndex(std::string_view name)
{
    return indexIn("FacilityReason", name);
}

int releaseCompleteReasonIndex(std::string_view name)
{
    return indexIn("ReleaseCompleteReason", name);
}

std::string_view facilityReasonName(int index)
{
    return nameIn("FacilityReason", index);
}

std::string_view releaseCompleteReasonName(int index)
{
    return nameIn("ReleaseCompleteReason", index);
}

} // namespace voip::h225
