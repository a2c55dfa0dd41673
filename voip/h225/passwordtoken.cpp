#include "voip/h225/passwordtoken.h"

#include <vector>

#include <openssl/evp.h>

#include "voip/asn/codec.h"
#include "voip/h225/address.h"
#include "voip/h225/schema.h"
#include "voip/h225/field.h"

namespace voip::h225 {

Digest md5(std::span<const std::uint8_t> data)
{
    Digest digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

Digest accessTokenChallenge(std::uint8_t random, std::string_view password, std::uint32_t timeStamp)
{
    std::vector<std::uint8_t> input;
    input.reserve(password.size() + 5);
    input.push_back(random);
    input.insert(input.end(), password.begin(), password.end());
    for (int shift = 24; shift >= 0; shift -= 8)
        input.push_back(std::uint8_t(timeStamp >> shift));
    return md5(input);
}

asn::Result<std::vector<std::uint8_t>> passwordHashInput(std::string_view alias,
                                                         std::string_view password,
                                                         std::uint32_t timeStamp)
{
    const auto loaded = schema();
    const asn::Type* type = loaded ? loaded->find("h235", "ClearToken") : nullptr;
    if (!type)
        return asn::Error{"the H.235 types did not load", 0, {}};
    // The NUL after each text is what gatekeepers check: without it a gatekeeper that
    // checks every token it knows refuses the whole request.
    const std::string nul(1, '\0');
    asn::Value token(*type);
    token.field(field::tokenOID).setOid({0, 0});
    token.field(field::timeStamp).setInteger(timeStamp);
    token.field(field::password).setText(std::string(password) + nul);
    token.field(field::generalID).setText(std::string(alias) + nul);
    auto encoded = asn::encode(token);
    if (!encoded.ok())
        return encoded.error();
    return std::move(*encoded);
}

asn::Result<Digest> passwordHash(std::string_view alias, std::string_view password,
                                 std::uint32_t timeStamp)
{
    auto input = passwordHashInput(alias, password, timeStamp);
    if (!input.ok())
        return input.error();
    return md5(*input);
}

asn::Status addPasswordTokens(asn::Value& body, std::string_view alias, std::string_view password,
                              std::uint32_t timeStamp, std::uint8_t random)
{
    auto hash = passwordHash(alias, password, timeStamp);
    if (!hash.ok())
        return hash.error();

    asn::Value& access = body.field(field::tokens).append();
    access.field(field::tokenOID).setOid(AccessTokenOid);
    access.field(field::timeStamp).setInteger(timeStamp);
    access.field(field::random).setInteger(random);
    access.field(field::generalID).setText(alias);
    const Digest challenge = accessTokenChallenge(random, password, timeStamp);
    access.field(field::challenge).setOctets(challenge);

    asn::Value& crypto = body.field(field::cryptoTokens).append();
    crypto.choose(field::cryptoEPPwdHash);
    asn::Value& hashed = crypto.chosen();
    setAlias(hashed.field(field::alias), alias, AliasKind::H323Id);
    hashed.field(field::timeStamp).setInteger(timeStamp);
    hashed.field(field::token).field(field::algorithmOID).setOid(Md5Oid);
    hashed.field(field::token).field(field::paramS);
    hashed.field(field::token)
        .field(field::hash)
        .setBits(std::string_view(reinterpret_cast<const char*>(hash->data()), hash->size()),
                 hash->size() * 8);
    return {};
}

} // namespace voip::h225
