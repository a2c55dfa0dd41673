#include "voip/h225/schema.h"

#include <array>

#include "voip/h245/schema.h"

namespace voip::h225 {

const asn::Result<std::shared_ptr<const asn::Schema>>& loadSchema()
{
    static const asn::Result<std::shared_ptr<const asn::Schema>> loaded =
        []() -> asn::Result<std::shared_ptr<const asn::Schema>> {
        const auto& h245 = h245::loadSchema();
        if (!h245.ok()) {
            return h245.error();
        }
        const std::array<std::string_view, 2> texts{h235ModuleText(), moduleText()};
        return asn::Schema::load(texts, h245.value());
    }();
    return loaded;
}

std::shared_ptr<const asn::Schema> schema()
{
    const auto& loaded = loadSchema();
    return loaded.ok() ? loaded.value() : nullptr;
}

const asn::Type* findType(std::string_view name)
{
    const auto& loaded = loadSchema();
    return loaded.ok() ? loaded.value()->find("h225", name) : nullptr;
}

const asn::Type* userInformationType()
{
    static const asn::Type* type = findType("H323-UserInformation");
    return type;
}

const asn::Type* rasMessageType()
{
    static const asn::Type* type = findType("RasMessage");
    return type;
}

} // namespace voip::h225
