#include "voip/h245/generic.h"
#include "voip/h245/field.h"

#include <algorithm>

namespace voip::h245::detail {

void addParameter(asn::Value& list, int id, std::string_view valueKind, std::int64_t value)
{
    asn::Value& parameter = list.append();
    parameter.field(field::parameterIdentifier).choose(field::standard).setInteger(id);
    asn::Value& v = parameter.field(field::parameterValue).choose(valueKind);
    if (valueKind != "logical")
        v.setInteger(value);
}

const asn::Value* findParameter(const asn::Value& list, int id)
{
    for (const asn::Value& parameter : list.elements()) {
        const asn::Value& identifier = parameter[field::parameterIdentifier];
        if (identifier.is(field::standard) && identifier.chosen().integer() == id)
            return &parameter;
    }
    return nullptr;
}

std::optional<std::uint32_t> parameterNumber(const asn::Value& list, int id)
{
    const asn::Value* parameter = findParameter(list, id);
    if (!parameter)
        return std::nullopt;
    const asn::Value& value = (*parameter)[field::parameterValue];
    const asn::Kind kind = value.chosen().kind();
    if (value.choiceIndex() < 0 || kind != asn::Kind::Integer)
        return std::nullopt;
    return static_cast<std::uint32_t>(value.chosen().integer());
}

void setStandardIdentifier(asn::Value& identifier, std::span<const std::uint64_t> arcs)
{
    identifier.choose(field::standard).setOid(arcs);
}

bool isStandardIdentifier(const asn::Value& identifier, std::span<const std::uint64_t> arcs)
{
    if (!identifier.is(field::standard))
        return false;
    const auto read = identifier.chosen().oid();
    return std::equal(read.begin(), read.end(), arcs.begin(), arcs.end());
}

} // namespace voip::h245::detail
