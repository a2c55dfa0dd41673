#include "voip/h225/mediakeys.h"

#include <algorithm>

#include "voip/asn/codec.h"
#include "voip/h225/field.h"
#include "voip/h225/schema.h"

namespace voip::h225 {

namespace {

constexpr std::size_t GroupOctets = 128;
constexpr std::size_t MaxNumberOctets = 256; // 2048 bits, the DHset's bound

void setNumber(asn::Value& bits, std::span<const std::uint8_t> number)
{
    bits.setBits(std::string_view(reinterpret_cast<const char*>(number.data()), number.size()),
                 number.size() * 8);
}

/// A BIT STRING number as octets; nothing unless it is whole octets of the group's size.
std::optional<std::vector<std::uint8_t>> numberOf(const asn::Value& bits)
{
    if (bits.bitCount() != GroupOctets * 8 || bits.bytes().size() < GroupOctets)
        return std::nullopt;
    const auto octets = bits.octets();
    return std::vector<std::uint8_t>(octets.begin(), octets.begin() + GroupOctets);
}

bool isOid(const asn::Value& value, std::span<const std::uint64_t> arcs)
{
    const auto oid = value.oid();
    return std::equal(oid.begin(), oid.end(), arcs.begin(), arcs.end());
}

const asn::Type* h235Type(std::string_view name)
{
    const auto loaded = schema();
    return loaded ? loaded->find("h235", name) : nullptr;
}

} // namespace

asn::Status addKeyAgreementTokens(asn::Value& body, const KeyAgreementOffer& offer)
{
    for (const auto* number : {&offer.halfKey, &offer.prime, &offer.generator})
        if (number->empty() || number->size() > MaxNumberOctets)
            return asn::Error{
                "a key agreement number of " + std::to_string(number->size()) + " octets", 0, {}};
    asn::Value& tokens = body.field(field::tokens);
    asn::Value& group = tokens.append();
    group.field(field::tokenOID).setOid(KeyAgreement1024Oid);
    asn::Value& numbers = group.field(field::dhkey);
    setNumber(numbers.field(field::halfkey), offer.halfKey);
    setNumber(numbers.field(field::modSize), offer.prime);
    setNumber(numbers.field(field::generator), offer.generator);
    tokens.append().field(field::tokenOID).setOid(KeyAgreement1024OtherOid);
    return {};
}

asn::Result<std::optional<KeyAgreementOffer>> readKeyAgreementToken(const asn::Value& body)
{
    if (!body.has(field::tokens))
        return std::optional<KeyAgreementOffer>();
    for (const auto& token : body[field::tokens].elements()) {
        if (!token.has(field::tokenOID) || !isOid(token[field::tokenOID], KeyAgreement1024Oid) ||
            !token.has(field::dhkey))
            continue;
        const asn::Value& numbers = token[field::dhkey];
        auto halfKey = numberOf(numbers[field::halfkey]);
        auto prime = numberOf(numbers[field::modSize]);
        auto generator = numberOf(numbers[field::generator]);
        if (!halfKey || !prime || !generator)
            return asn::Error{
                "a 1024-bit key agreement token whose numbers are not 1024 bits", 0, {}};
        return std::optional<KeyAgreementOffer>(
            KeyAgreementOffer{std::move(*halfKey), std::move(*prime), std::move(*generator)});
    }
    return std::optional<KeyAgreementOffer>();
}

asn::Result<std::vector<std::uint8_t>> encodeWrappedKey(std::span<const std::uint8_t, 16> wrapped)
{
    const asn::Type* type = h235Type("H235Key");
    if (!type)
        return asn::Error{"the H.235 types did not load", 0, {}};
    asn::Value key(*type);
    key.choose(field::secureSharedSecret);
    asn::Value& material = key.chosen();
    material.field(field::algorithmOID).setOid(Aes128CbcOid);
    material.field(field::paramS);
    material.field(field::encryptedSessionKey).setOctets(wrapped);
    return asn::encode(key);
}

asn::Result<std::array<std::uint8_t, 16>> decodeWrappedKey(std::span<const std::uint8_t> h235Key)
{
    const asn::Type* type = h235Type("H235Key");
    if (!type)
        return asn::Error{"the H.235 types did not load", 0, {}};
    auto key = asn::decode(*type, h235Key);
    if (!key.ok())
        return key.error();
    if (!key->is(field::secureSharedSecret))
        return asn::Error{"a media key not given as a shared secret", 0, {}};
    const asn::Value& material = key->chosen();
    if (!material.has(field::algorithmOID) || !isOid(material[field::algorithmOID], Aes128CbcOid))
        return asn::Error{"a media key for a cipher other than AES-128-CBC", 0, {}};
    if (!material.has(field::encryptedSessionKey) ||
        material[field::encryptedSessionKey].bytes().size() != 16)
        return asn::Error{"a media key that is not 16 octets", 0, {}};
    std::array<std::uint8_t, 16> wrapped{};
    const auto octets = material[field::encryptedSessionKey].octets();
    std::copy(octets.begin(), octets.end(), wrapped.begin());
    return wrapped;
}

} // namespace voip::h225
