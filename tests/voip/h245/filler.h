#pragma once

// Fills a value of any schema type with random content inside every constraint, for the
// schema walk and the decoder oracle tests.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "voip/asn/value.h"

namespace voip::h245::test {

class Filler
{
public:
    explicit Filler(std::uint32_t seed)
        : rng_(seed)
    {}

    enum class Optionals
    {
        All,
        None,
        Random,
    };

    /// Fills `value` of `type` with values inside every constraint. `forcedAlternative`
    /// chooses the top-level alternative of a CHOICE.
    void fill(asn::Value& value, const asn::Type& type, int depth, Optionals optionals,
              int forcedAlternative = -1)
    {
        switch (type.kind) {
        case asn::Kind::Boolean:
            value.setBoolean(random(2) == 1);
            break;
        case asn::Kind::Null:
            break;
        case asn::Kind::Integer:
            value.setInteger(pick(type.range, 1000));
            break;
        case asn::Kind::Enumerated:
            value.setEnumIndex(static_cast<std::size_t>(random(static_cast<int>(type.rootCount))));
            break;
        case asn::Kind::BitString: {
            const auto bits = static_cast<std::size_t>(length(type.size));
            value.setBits(std::string((bits + 7) / 8, '\x5a'), bits);
            break;
        }
        case asn::Kind::OctetString:
        case asn::Kind::GeneralString:
        case asn::Kind::Open:
            value.setBytes(std::string(static_cast<std::size_t>(length(type.size)), 'k'));
            break;
        case asn::Kind::CharString: {
            std::string text;
            const std::int64_t n = length(type.size);
            for (std::int64_t i = 0; i < n; ++i) {
                if (!type.alphabet.empty())
                    text += static_cast<char>(
                        type.alphabet[random(static_cast<int>(type.alphabet.size()))]);
                else if (type.charSet == asn::CharSet::Numeric)
                    text += static_cast<char>('0' + random(10));
                else
                    text += static_cast<char>('a' + random(26));
            }
            value.setText(text);
            break;
        }
        case asn::Kind::ObjectIdentifier:
            value.setOid({0, 0, 8, 245, 0, static_cast<std::uint64_t>(random(20))});
            break;
        case asn::Kind::SequenceOf: {
            std::int64_t n = type.size.hasLower ? type.size.lower : 0;
            if (depth < 6 && n < 2)
                n = std::max<std::int64_t>(n, random(3));
            if (type.size.hasUpper)
                n = std::min(n, type.size.upper);
            for (std::int64_t i = 0; i < n; ++i)
                fill(value.append(), *type.element, depth + 1, Optionals::Random);
            break;
        }
        case asn::Kind::Sequence:
            for (std::size_t i = 0; i < type.components.size(); ++i) {
                const asn::Component& component = type.components[i];
                const int index = static_cast<int>(i);
                if (component.optional || component.extension) {
                    const bool take = optionals == Optionals::All ||
                                      (optionals == Optionals::Random && depth < 6 && random(2));
                    if (!take) {
                        value.remove(index);
                        continue;
                    }
                }
                fill(value.field(index), *component.type, depth + 1, Optionals::Random);
            }
            break;
        case asn::Kind::Choice: {
            const int count = static_cast<int>(type.components.size());
            int index = forcedAlternative >= 0 ? forcedAlternative : random(count);
            // Deep down, prefer a leaf alternative so that recursive types end.
            if (forcedAlternative < 0 && depth > 8)
                for (int k = 0; k < count; ++k)
                    if (isLeaf(*type.components[k].type)) {
                        index = k;
                        break;
                    }
            fill(value.choose(index), *type.components[index].type, depth + 1, Optionals::Random);
            break;
        }
        }
    }

private:
    static bool isLeaf(const asn::Type& type)
    {
        return type.kind != asn::Kind::Sequence && type.kind != asn::Kind::Choice &&
               type.kind != asn::Kind::SequenceOf;
    }

    int random(int n) { return n <= 0 ? 0 : static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::int64_t pick(const asn::Bounds& bounds, int span)
    {
        const std::int64_t lower = bounds.hasLower ? bounds.lower : -span;
        if (!bounds.hasUpper)
            return lower + random(span);
        switch (random(3)) {
        case 0:
            return lower;
        case 1:
            return bounds.upper;
        default:
            return lower + static_cast<std::int64_t>(
                               rng_() % static_cast<std::uint64_t>(bounds.upper - lower + 1));
        }
    }

    std::int64_t length(const asn::Bounds& size)
    {
        const std::int64_t n = pick(size, 8);
        // Long fixed sizes stay as they are; long ranges are cut short.
        return std::max<std::int64_t>(size.hasLower ? size.lower : 0,
                                      std::min<std::int64_t>(n, 40));
    }

    std::mt19937 rng_;
};

} // namespace voip::h245::test
