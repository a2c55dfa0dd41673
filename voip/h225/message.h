#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h225 {

/// A new H323-UserInformation whose h323-message-body is the alternative `body` ("setup",
/// "callProceeding", "connect", "alerting", "information", "releaseComplete", "facility",
/// "progress", "empty", "status", "statusInquiry", "setupAcknowledge", "notify"), with the
/// body's protocolIdentifier set to the version we announce and h245Tunnelling false.
/// Absent (no type) when the body name is unknown or the schema failed to load.
asn::Value newUserInformation(std::string_view body);

/// Name of the message body alternative, empty when there is none or it is unknown.
std::string_view bodyName(const asn::Value& userInformation);
/// The body value (e.g. the Setup-UUIE); absent when there is none.
const asn::Value& messageBody(const asn::Value& userInformation);
asn::Value& messageBody(asn::Value& userInformation);

/// The H323-UU-PDU inside a User-user information value.
const asn::Value& uuPdu(const asn::Value& userInformation);
asn::Value& uuPdu(asn::Value& userInformation);

/// Decodes the User-user information of a Q.931 message (after its protocol
/// discriminator octet).
asn::Result<asn::Value> decodeUserInformation(std::span<const std::uint8_t> bytes);
/// Encodes a User-user information value.
asn::Result<std::vector<std::uint8_t>> encodeUserInformation(const asn::Value& userInformation);

/// Decodes and encodes RAS messages.
asn::Result<asn::Value> decodeRasMessage(std::span<const std::uint8_t> bytes);
asn::Result<std::vector<std::uint8_t>> encodeRasMessage(const asn::Value& rasMessage);

/// Choice indexes of FacilityReason and ReleaseCompleteReason alternatives by name
/// ("callForwarded" -> 1, "undefinedReason" -> 3 and 11); -1 when unknown.
int facilityReasonIndex(std::string_view name);
int releaseCompleteReasonIndex(std::string_view name);
/// Alternative names by index; empty when unknown.
std::string_view facilityReasonName(int index);
std::string_view releaseCompleteReasonName(int index);

} // namespace voip::h225
