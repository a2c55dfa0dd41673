#include "field_walk.h"

#include <cstdio>

#include "voip/asn/schema.h"

namespace kx::testutil {
namespace {

using voip::asn::Kind;
using voip::asn::Value;
using Fields = std::map<std::string, std::vector<std::string>>;

// Wireshark prints a GUID as 8-4-4-4-12 hex digits of the octets in order.
std::string guidText(std::span<const std::uint8_t> octets)
{
    std::string text;
    char part[4];
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::snprintf(part, sizeof part, "%02x", octets[i]);
        text += part;
    }
    return text;
}

std::string number(std::int64_t value)
{
    return std::to_string(value);
}

struct Walker
{
    Fields& out;
    bool h245;

    void add(const std::string& field, std::string value)
    {
        out[field].push_back(std::move(value));
    }

    // Records the fields a component named `name` gives, then walks inside it.
    void visit(std::string_view name, const Value& v)
    {
        if (!v.present() && v.kind() != Kind::Null)
            return;
        if (h245) {
            if (name == "forwardLogicalChannelNumber" || name == "sequenceNumber" ||
                name == "terminalType" || name == "statusDeterminationNumber" ||
                name == "sessionID" || name == "capabilityTableEntryNumber")
                add("h245." + std::string(name), number(v.integer()));
            else if ((name == "request" || name == "response" || name == "command" ||
                      name == "indication") &&
                     v.kind() == Kind::Choice)
                add("h245." + std::string(name), number(v.choiceIndex())); // FunctionNotUnderstood
            else if (name == "dataType" || name == "capability")
                add("h245." + std::string(name), number(v.choiceIndex()));
            else if (name == "protocolIdentifier")
                add("h245.protocolIdentifier", v.oidText());
            else if (name == "standard" && v.kind() == Kind::ObjectIdentifier)
                add("h245.standardOid", v.oidText());
            else if (name == "oid" && v.kind() == Kind::ObjectIdentifier)
                add("h245.oid", v.oidText()); // a payload descriptor
            else if (name == "maximumBitRate" || name == "payloadType")
                add("h245." + std::string(name), number(v.integer()));
            else if (name == "standard" && v.kind() == Kind::Integer)
                add("h245.standard", number(v.integer())); // generic parameter identifier
            else if (name == "booleanArray" || name == "unsignedMin" || name == "unsignedMax" ||
                     name == "unsigned32Min" || name == "unsigned32Max")
                add("h245." + std::string(name), number(v.integer()));
        } else {
            if (name == "h323-message-body")
                add("h225.h323_message_body", number(v.choiceIndex()));
            else if (name == "protocolIdentifier")
                add("h225.protocolIdentifier", v.oidText());
            else if (name == "guid")
                add("h225.guid", guidText(v.octets()));
            else if (name == "conferenceID")
                add("h225.conferenceID", guidText(v.octets()));
            else if (name == "h323-ID")
                add("h225.h323_ID", std::string(v.text()));
            else if (name == "dialledDigits")
                add("h225.dialledDigits", std::string(v.text()));
            else if (name == "url-ID")
                add("h225.url_ID", std::string(v.text()));
            else if (name == "email-ID")
                add("h225.email_ID", std::string(v.text()));
            else if (name == "h245Tunnelling")
                add("h225.h245Tunnelling", v.boolean() ? "1" : "0");
            else if (name == "h245Address" && v.is("ipAddress")) {
                const auto ip = v.chosen()["ip"].octets();
                if (ip.size() == 4)
                    add("h225.h245Ip", std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." +
                                           std::to_string(ip[2]) + "." + std::to_string(ip[3]));
                add("h225.h245IpPort", number(v.chosen()["port"].integer()));
                return;
            }
        }
        walk(v);
    }

    void walk(const Value& v)
    {
        const voip::asn::Type* type = v.type();
        if (!type)
            return;
        switch (type->kind) {
        case Kind::Sequence: {
            const auto& children = v.children();
            for (std::size_t i = 0; i < children.size() && i < type->components.size(); ++i)
                visit(type->components[i].name, children[i]);
            break;
        }
        case Kind::Choice: {
            const int index = v.choiceIndex();
            if (index >= 0 && static_cast<std::size_t>(index) < type->components.size())
                visit(type->components[static_cast<std::size_t>(index)].name, v.chosen());
            break;
        }
        case Kind::SequenceOf:
            for (const auto& element : v.elements())
                visit({}, element);
            break;
        default:
            break;
        }
    }
};

} // namespace

const std::vector<std::string>& comparedFields()
{
    static const std::vector<std::string> fields{
        "h225.h323_message_body",
        "h225.RasMessage",
        "h225.protocolIdentifier",
        "h225.guid",
        "h225.conferenceID",
        "h225.h323_ID",
        "h225.dialledDigits",
        "h225.url_ID",
        "h225.email_ID",
        "h225.h245Tunnelling",
        "h225.h245Ip",
        "h225.h245IpPort",
        "h245.request",
        "h245.response",
        "h245.command",
        "h245.indication",
        "h245.forwardLogicalChannelNumber",
        "h245.sequenceNumber",
        "h245.terminalType",
        "h245.statusDeterminationNumber",
        "h245.sessionID",
        "h245.capabilityTableEntryNumber",
        "h245.dataType",
        "h245.capability",
        "h245.protocolIdentifier",
        "h245.standardOid",
        "h245.oid",
        "h245.maximumBitRate",
        "h245.payloadType",
        "h245.standard",
        "h245.booleanArray",
        "h245.unsignedMin",
        "h245.unsignedMax",
        "h245.unsigned32Min",
        "h245.unsigned32Max",
    };
    return fields;
}

Fields fieldsOf(const std::vector<const kx::decode::DecodedMessage*>& messages)
{
    Fields out;
    for (const auto* message : messages) {
        if (message->error)
            continue;
        const Value& v = message->value;
        switch (message->protocol) {
        case kx::decode::Protocol::CallSignalling:
            Walker{out, false}.walk(v);
            break;
        case kx::decode::Protocol::Ras:
            out["h225.RasMessage"].push_back(number(v.choiceIndex()));
            Walker{out, false}.walk(v);
            break;
        case kx::decode::Protocol::H245:
            // The top choice is reported as h245.request, h245.response, ...
            out["h245." + std::string(v.choiceName())].push_back(number(v.chosen().choiceIndex()));
            Walker{out, true}.walk(v.chosen().chosen());
            break;
        case kx::decode::Protocol::FastStart:
            Walker{out, true}.walk(v);
            break;
        }
    }
    return out;
}

} // namespace kx::testutil
