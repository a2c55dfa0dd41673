#include "voip/h245/schema.h"

#include <array>

namespace voip::h245 {

const asn::Result<std::shared_ptr<const asn::Schema>>& loadSchema()
{
    static const asn::Result<std::shared_ptr<const asn::Schema>> loaded = [] {
        const std::array<std::string_view, 1> texts{moduleText()};
        return asn::Schema::load(texts);
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
    return loaded.ok() ? loaded.value()->find("h245", name) : nullptr;
}

const asn::Type* messageType()
{
    static const asn::Type* type = findType("MultimediaSystemControlMessage");
    return type;
}

} // namespace voip::h245
