#include "voip/asn/printer.h"

namespace voip::asn {

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string hex(std::string_view bytes)
{
    std::string s;
    s.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        s.push_back(kHex[b >> 4]);
        s.push_back(kHex[b & 0x0F]);
    }
    return s;
}

bool isConstructed(const Value& v)
{
    return v.kind() == Kind::Sequence || v.kind() == Kind::SequenceOf || v.kind() == Kind::Choice;
}

std::string quoted(std::string_view text)
{
    std::string s = "\"";
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s.push_back('\\');
            s.push_back(c);
        } else if (b < 0x20 || b == 0x7F) {
            s += "\\x";
            s.push_back(kHex[b >> 4]);
            s.push_back(kHex[b & 0x0F]);
        } else {
            s.push_back(c);
        }
    }
    s.push_back('"');
    return s;
}

std::string scalarText(const Value& v)
{
    switch (v.kind()) {
    case Kind::Boolean:
        return v.boolean() ? "true" : "false";
    case Kind::Null:
        return "NULL";
    case Kind::Integer:
        return std::to_string(v.integer());
    case Kind::Enumerated: {
        const std::string_view name = v.enumName();
        if (name.empty()) {
            return "(unknown extension value " + std::to_string(v.enumIndex()) + ")";
        }
        return std::string(name);
    }
    case Kind::BitString: {
        std::string s = "'";
        for (std::size_t i = 0; i < v.bitCount(); ++i) {
            s.push_back(v.bit(i) ? '1' : '0');
        }
        return s + "'B";
    }
    case Kind::OctetString: {
        if (v.bytes().empty()) {
            return "(empty)";
        }
        // Product names and the like: show the text too when it reads as text.
        std::string_view text = v.bytes();
        while (!text.empty() && text.back() == '\0') {
            text.remove_suffix(1);
        }
        bool printable = !text.empty();
        for (char c : text) {
            printable = printable && c >= 0x20 && c < 0x7F;
        }
        return printable ? hex(v.bytes()) + " (" + quoted(text) + ")" : hex(v.bytes());
    }
    case Kind::Open:
        return v.bytes().empty() ? "(empty)" : hex(v.bytes());
    case Kind::ObjectIdentifier:
        return v.oidText();
    case Kind::CharString:
    case Kind::GeneralString:
        return quoted(v.text());
    default:
        return {};
    }
}

void line(std::string& out, int indent, std::string_view text)
{
    out.append(static_cast<std::size_t>(indent) * 2, ' ');
    out.append(text);
    out.push_back('\n');
}

void print(std::string& out, const Value& v, std::string_view name, int indent, int depth);

void printContents(std::string& out, const Value& v, int indent, int depth)
{
    const Type* t = v.type();
    if (depth > 200 || !t) {
        return;
    }
    if (t->kind == Kind::Sequence) {
        for (std::size_t i = 0; i < v.children().size(); ++i) {
            if (v.children()[i].present()) {
                print(out, v.children()[i], t->components[i].name, indent, depth + 1);
            }
        }
        for (const auto& [j, raw] : v.unknownAdditions()) {
            line(out, indent,
                 "(unknown extension addition " + std::to_string(j) + ") = " + hex(raw));
        }
    } else if (t->kind == Kind::SequenceOf) {
        for (std::size_t i = 0; i < v.size(); ++i) {
            print(out, v.at(i), "[" + std::to_string(i) + "]", indent, depth + 1);
        }
    } else if (t->kind == Kind::Choice) {
        const Value& alt = v.chosen();
        if (alt.present()) {
            printContents(out, alt, indent, depth + 1);
        }
    }
}

void print(std::string& out, const Value& v, std::string_view name, int indent, int depth)
{
    std::string head(name);
    const std::string_view sep = head.empty() ? "" : " = ";
    switch (v.kind()) {
    case Kind::Sequence:
        line(out, indent, head.empty() ? v.type()->displayName() : head);
        printContents(out, v, indent + 1, depth);
        return;
    case Kind::SequenceOf:
        line(out, indent,
             head + (head.empty() ? "" : ": ") + std::to_string(v.size()) +
                 (v.size() == 1 ? " item" : " items"));
        printContents(out, v, indent + 1, depth);
        return;
    case Kind::Choice: {
        const std::string_view alt = v.choiceName();
        if (alt.empty()) {
            line(out, indent,
                 head + std::string(sep) + "(unknown alternative " +
                     std::to_string(v.choiceIndex()) + ") " + hex(v.bytes()));
            return;
        }
        const Value& chosen = v.chosen();
        if (isConstructed(chosen)) {
            line(out, indent, head + std::string(sep) + std::string(alt));
            if (chosen.kind() == Kind::Choice) {
                print(out, chosen, alt, indent + 1, depth + 1);
            } else if (chosen.kind() == Kind::SequenceOf) {
                print(out, chosen, alt, indent + 1, depth + 1);
            } else {
                printContents(out, chosen, indent + 1, depth + 1);
            }
        } else if (chosen.kind() == Kind::Null) {
            line(out, indent, head + std::string(sep) + std::string(alt));
        } else {
            line(out, indent,
                 head + std::string(sep) + std::string(alt) + ": " + scalarText(chosen));
        }
        return;
    }
    default:
        line(out, indent, head + std::string(sep) + scalarText(v));
    }
}

} // namespace

std::string toText(const Value& value, std::string_view name, int indent)
{
    std::string out;
    if (!value.type() || !value.present()) {
        line(out, indent, std::string(name) + (name.empty() ? "" : " = ") + "(absent)");
        return out;
    }
    print(out, value, name, indent, 0);
    return out;
}

} // namespace voip::asn
