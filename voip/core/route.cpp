#include "voip/core/route.h"

#include <algorithm>

// GCC 12 reports -Wmaybe-uninitialized inside its own <regex> when optimising with
// sanitizers; the code is the standard library's, not ours.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

namespace voip {

struct RouteTable::CompiledPattern
{
    std::regex regex;
};

namespace {

std::string_view trim(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string replaceAll(std::string text, std::string_view what, std::string_view with)
{
    for (auto at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

} // namespace

Status RouteTable::add(std::string_view rule)
{
    const auto equals = rule.find('=');
    if (equals == std::string_view::npos) {
        return "route has no '=': " + std::string(rule);
    }
    return add(rule.substr(0, equals), rule.substr(equals + 1));
}

Status RouteTable::add(std::string_view pattern, std::string_view destination)
{
    pattern = trim(pattern);
    destination = trim(destination);
    if (pattern.empty() || destination.empty()) {
        return std::string("route needs a pattern and a destination");
    }
    if (pattern.size() > MaxPatternLength) {
        return std::string("route pattern too long");
    }
    std::shared_ptr<const CompiledPattern> compiled;
    try {
        compiled = std::make_shared<const CompiledPattern>(CompiledPattern{
            std::regex(std::string(pattern), std::regex::ECMAScript | std::regex::icase)});
    } catch (const std::regex_error& error) {
        return "bad route pattern '" + std::string(pattern) + "': " + error.what();
    }
    std::lock_guard lock(mutex_);
    rules_.push_back({{std::string(pattern), std::string(destination)}, std::move(compiled)});
    return {};
}

void RouteTable::clear()
{
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::vector<RouteEntry> RouteTable::entries() const
{
    std::lock_guard lock(mutex_);
    std::vector<RouteEntry> result;
    for (const auto& rule : rules_) {
        result.push_back(rule.entry);
    }
    return result;
}

std::optional<std::string> RouteTable::route(std::string_view sourcePrefix,
                                             std::string_view dialled) const
{
    const std::string text = std::string(sourcePrefix) + ":" + std::string(dialled);
    if (text.size() > MaxRoutedLength) {
        return std::nullopt;
    }
    std::vector<Rule> rules;
    {
        std::lock_guard lock(mutex_);
        rules = rules_;
    }
    for (const auto& rule : rules) {
        bool matched = false;
        try {
            matched = std::regex_match(text, rule.pattern->regex);
        } catch (const std::regex_error&) {
            matched = false; // complexity limit of the library: treat as no match
        }
        if (matched) {
            return replaceAll(rule.entry.destination, "<da>", dialled);
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::string>>
splitPrefix(std::string_view party, const std::vector<std::string>& knownPrefixes)
{
    const auto colon = party.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto prefix = party.substr(0, colon);
    if (std::find(knownPrefixes.begin(), knownPrefixes.end(), prefix) == knownPrefixes.end()) {
        return std::nullopt;
    }
    return std::make_pair(std::string(prefix), std::string(party.substr(colon + 1)));
}

} // namespace voip
