#include "voip/asn/schema.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "voip/asn/per.h"
#include "voip/asn/utf8.h"

namespace voip::asn {

namespace {

enum class Tok
{
    End,
    Ident,
    Number,
    String,
    Punct, // = { } ( ) , : . .. ...
};

struct Token
{
    Tok kind = Tok::End;
    std::string_view text;
    int line = 0;
};

class Lexer
{
public:
    explicit Lexer(std::string_view text)
        : text_(text)
    {}

    // Splits the whole text; false with a message on a bad character.
    bool run(std::vector<Token>& out, std::string& error)
    {
        while (true) {
            skipSpace();
            if (pos_ >= text_.size()) {
                out.push_back({Tok::End, {}, line_});
                return true;
            }
            const char c = text_[pos_];
            const std::size_t start = pos_;
            if (isLetter(c)) {
                while (pos_ < text_.size() && isIdentChar(text_[pos_])) {
                    ++pos_;
                }
                out.push_back({Tok::Ident, text_.substr(start, pos_ - start), line_});
            } else if (isDigit(c) ||
                       (c == '-' && pos_ + 1 < text_.size() && isDigit(text_[pos_ + 1]))) {
                ++pos_;
                while (pos_ < text_.size() && isDigit(text_[pos_])) {
                    ++pos_;
                }
                out.push_back({Tok::Number, text_.substr(start, pos_ - start), line_});
            } else if (c == '"') {
                const std::size_t close = text_.find('"', pos_ + 1);
                if (close == std::string_view::npos) {
                    error = "line " + std::to_string(line_) + ": unterminated string";
                    return false;
                }
                out.push_back({Tok::String, text_.substr(pos_ + 1, close - pos_ - 1), line_});
                for (std::size_t i = pos_; i < close; ++i) {
                    line_ += text_[i] == '\n';
                }
                pos_ = close + 1;
            } else if (c == '.') {
                std::size_t n = 1;
                while (n < 3 && pos_ + n < text_.size() && text_[pos_ + n] == '.') {
                    ++n;
                }
                out.push_back({Tok::Punct, text_.substr(start, n), line_});
                pos_ += n;
            } else if (std::string_view("={}(),:").find(c) != std::string_view::npos) {
                out.push_back({Tok::Punct, text_.substr(start, 1), line_});
                ++pos_;
            } else {
                error = "line " + std::to_string(line_) + ": unexpected character '" +
                        std::string(1, c) + "'";
                return false;
            }
        }
    }

private:
    static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isIdentChar(char c) { return isLetter(c) || isDigit(c) || c == '-' || c == '_'; }

    void skipSpace()
    {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++pos_;
            } else if (c == '#') {
                while (pos_ < text_.size() && text_[pos_] != '\n') {
                    ++pos_;
                }
            } else {
                break;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

} // namespace

/// Parses module texts into a Schema and resolves references.
class SchemaLoader
{
public:
    explicit SchemaLoader(Schema& schema)
        : schema_(schema)
    {}

    bool parseModule(std::string_view text, std::string& error)
    {
        tokens_.clear();
        pos_ = 0;
        Lexer lexer(text);
        if (!lexer.run(tokens_, error)) {
            error = "schema: " + error;
            return false;
        }
        if (!keyword("module") || peek().kind != Tok::Ident) {
            return fail("the text must start with 'module NAME'", error);
        }
        module_ = std::string(next().text);
        if (std::find(schema_.moduleNames_.begin(), schema_.moduleNames_.end(), module_) !=
            schema_.moduleNames_.end()) {
            return fail("module loaded twice", error);
        }
        schema_.moduleNames_.push_back(module_);
        while (keyword("use")) {
            if (peek().kind != Tok::Ident) {
                return fail("module name expected after 'use'", error);
            }
            next();
        }
        while (peek().kind != Tok::End) {
            if (peek().kind != Tok::Ident) {
                return fail("type definition expected", error);
            }
            const Token name = next();
            if (!punct("=")) {
                return fail("'=' expected after " + std::string(name.text), error);
            }
            definition_ = std::string(name.text);
            Type* type = parseType();
            if (!type) {
                return fail(message_, error);
            }
            const std::string key = module_ + "." + definition_;
            if (schema_.defined_.count(key) != 0) {
                return fail("type " + key + " defined twice", error);
            }
            if (!isReference(type) && type->name.empty()) {
                type->name = definition_;
            }
            schema_.defined_[key] = type;
        }
        return true;
    }

    bool resolve(std::string& error)
    {
        // Top-level aliases first, then every pointer inside the graph.
        for (auto& [key, type] : schema_.defined_) {
            const Type* target = follow(type, key, error);
            if (!target) {
                return false;
            }
            type = target;
        }
        for (Type& t : schema_.types_) {
            if (isReference(&t)) {
                continue;
            }
            const std::string where = t.module + "." + (t.name.empty() ? "(inline)" : t.name);
            if (t.element) {
                t.element = follow(t.element, where, error);
                if (!t.element) {
                    return false;
                }
            }
            for (Component& c : t.components) {
                c.type = follow(c.type, where, error);
                if (!c.type) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    struct Reference
    {
        std::string module;
        std::string name;
        int line = 0;
    };

    bool isReference(const Type* t) const { return references_.count(t) != 0; }

    // Follows a chain of references to a real type; error names the unknown one.
    const Type* follow(const Type* t, const std::string& where, std::string& error)
    {
        for (int hops = 0; hops < 100; ++hops) {
            auto ref = references_.find(t);
            if (ref == references_.end()) {
                return t;
            }
            const std::string key = ref->second.module + "." + ref->second.name;
            const Type* next = nullptr;
            if (auto it = schema_.defined_.find(key); it != schema_.defined_.end()) {
                next = it->second;
            } else if (schema_.base_) {
                next = schema_.base_->find(ref->second.module, ref->second.name);
            }
            if (!next) {
                error = "schema: unknown type " + key + " referenced from " + where + " (module " +
                        ref->second.module + ", line " + std::to_string(ref->second.line) + ")";
                return nullptr;
            }
            t = next;
        }
        error = "schema: circular type alias at " + where;
        return nullptr;
    }

    const Token& peek() const { return tokens_[pos_]; }
    const Token& next()
    {
        const Token& t = tokens_[pos_];
        if (t.kind != Tok::End) {
            ++pos_;
        }
        return t;
    }
    bool keyword(std::string_view word)
    {
        if (peek().kind == Tok::Ident && peek().text == word) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool punct(std::string_view p)
    {
        if (peek().kind == Tok::Punct && peek().text == p) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool fail(const std::string& what, std::string& error)
    {
        error = "schema: module " + (module_.empty() ? std::string("?") : module_) + ", line " +
                std::to_string(peek().line) + ": " + what;
        return false;
    }
    Type* bad(const std::string& what)
    {
        message_ = what + " (in " + definition_ + ")";
        return nullptr;
    }

    Type* make(Kind kind)
    {
        Type& t = schema_.types_.emplace_back();
        t.kind = kind;
        t.module = module_;
        return &t;
    }

    bool number(std::int64_t& v)
    {
        if (peek().kind != Tok::Number) {
            return false;
        }
        const std::string_view s = next().text;
        const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return ec == std::errc() && p == s.data() + s.size();
    }

    // "(n)", "(lo..hi)", "(lo..max)", "(min..hi)", each optionally followed by ", ...".
    bool parseBounds(Bounds& b)
    {
        if (!punct("(")) {
            return true; // no constraint
        }
        std::int64_t lo = 0;
        if (keyword("min")) {
            b.hasLower = false;
        } else if (number(lo)) {
            b.hasLower = true;
            b.lower = lo;
        } else {
            return false;
        }
        if (punct("..")) {
            std::int64_t hi = 0;
            if (keyword("max")) {
                b.hasUpper = false;
            } else if (number(hi)) {
                b.hasUpper = true;
                b.upper = hi;
            } else {
                return false;
            }
        } else {
            b.hasUpper = b.hasLower;
            b.upper = b.lower;
        }
        if (punct(",")) {
            if (!punct("...")) {
                return false;
            }
            b.extensible = true;
        }
        if (!punct(")")) {
            return false;
        }
        if (b.constrained() && b.lower > b.upper) {
            return false;
        }
        return true;
    }

    Type* parseType()
    {
        if (peek().kind != Tok::Ident) {
            return bad("type expected");
        }
        const Token word = next();
        const std::string_view w = word.text;
        if (w == "bool") {
            return make(Kind::Boolean);
        }
        if (w == "null") {
            return make(Kind::Null);
        }
        if (w == "oid") {
            return make(Kind::ObjectIdentifier);
        }
        if (w == "general") {
            return make(Kind::GeneralString);
        }
        if (w == "open") {
            return make(Kind::Open);
        }
        if (w == "int") {
            Type* t = make(Kind::Integer);
            if (!parseBounds(t->range)) {
                return bad("bad integer range");
            }
            return t;
        }
        if (w == "bits" || w == "octets") {
            Type* t = make(w == "bits" ? Kind::BitString : Kind::OctetString);
            if (!parseSize(t->size)) {
                return bad("bad size");
            }
            return t;
        }
        if (w == "ia5" || w == "numeric" || w == "printable" || w == "visible" || w == "bmp") {
            return parseCharString(w);
        }
        if (w == "enum") {
            return parseEnum();
        }
        if (w == "seqof") {
            Type* t = make(Kind::SequenceOf);
            if (!parseSize(t->size)) {
                return bad("bad size");
            }
            Type* element = parseType();
            if (!element) {
                return nullptr;
            }
            t->element = element;
            return t;
        }
        if (w == "seq" || w == "choice") {
            return parseComponents(w == "seq" ? Kind::Sequence : Kind::Choice);
        }
        // A reference, possibly qualified.
        Reference ref{module_, std::string(w), word.line};
        if (punct(".")) {
            if (peek().kind != Tok::Ident) {
                return bad("type name expected after '" + std::string(w) + ".'");
            }
            ref.module = ref.name;
            ref.name = std::string(next().text);
        }
        Type* t = make(Kind::Null);
        references_.emplace(t, std::move(ref));
        return t;
    }

    bool parseSize(Bounds& b)
    {
        if (!parseBounds(b)) {
            return false;
        }
        if (b.hasLower && b.lower < 0) {
            return false;
        }
        if (!b.hasLower && b.hasUpper) {
            b.hasLower = true; // SIZE (min..n) is SIZE (0..n)
            b.lower = 0;
        }
        return true;
    }

    Type* parseCharString(std::string_view w)
    {
        Type* t = make(Kind::CharString);
        if (w == "ia5") {
            t->charSet = CharSet::IA5;
        } else if (w == "numeric") {
            t->charSet = CharSet::Numeric;
        } else if (w == "printable") {
            t->charSet = CharSet::Printable;
        } else if (w == "visible") {
            t->charSet = CharSet::Visible;
        } else {
            t->charSet = CharSet::BMP;
        }
        if (!parseSize(t->size)) {
            return bad("bad size");
        }
        std::u32string alphabet;
        if (keyword("from")) {
            if (peek().kind != Tok::String || !utf8ToBmp(next().text, alphabet) ||
                alphabet.empty()) {
                return bad("permitted alphabet string expected after 'from'");
            }
        } else if (t->charSet == CharSet::IA5 || t->charSet == CharSet::Visible) {
            t->charBits = 8; // 128 or 95 characters: 7 bits, 8 when aligned; values fit
            return t;
        } else if (t->charSet == CharSet::BMP) {
            t->charBits = 16;
            return t;
        } else {
            alphabet = defaultAlphabet(t->charSet);
        }
        std::sort(alphabet.begin(), alphabet.end());
        alphabet.erase(std::unique(alphabet.begin(), alphabet.end()), alphabet.end());
        // X.691 27.5.2-27.5.4: width from the alphabet size, rounded up to a power of two in
        // the ALIGNED variant; characters travel as values when the largest one fits.
        unsigned b = bitsForRange(alphabet.size());
        unsigned aligned = 1;
        while (aligned < b) {
            aligned *= 2;
        }
        if (b == 0) {
            aligned = 0;
        }
        t->charBits = aligned;
        const std::uint64_t largest = alphabet.back();
        t->charsAsIndex = aligned < 32 && largest > ((std::uint64_t{1} << aligned) - 1);
        t->alphabet = std::move(alphabet);
        return t;
    }

    static std::u32string defaultAlphabet(CharSet set)
    {
        std::u32string a;
        switch (set) {
        case CharSet::Numeric:
            a = U" 0123456789";
            break;
        case CharSet::Printable:
            a = U" '()+,-./0123456789:=?ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
            break;
        default:
            break;
        }
        return a;
    }

    Type* parseEnum()
    {
        Type* t = make(Kind::Enumerated);
        if (!punct("{")) {
            return bad("'{' expected after enum");
        }
        struct Item
        {
            std::string name;
            std::int64_t value;
        };
        std::vector<Item> root;
        std::vector<std::string> additions;
        bool inExtension = false;
        std::int64_t nextValue = 0;
        std::unordered_set<std::int64_t> used;
        while (!punct("}")) {
            if (punct("...")) {
                if (inExtension) {
                    return bad("second extension marker");
                }
                inExtension = true;
                continue;
            }
            if (peek().kind != Tok::Ident) {
                return bad("enumeration item expected");
            }
            Item item{std::string(next().text), 0};
            bool explicitValue = false;
            if (punct("=")) {
                if (!number(item.value)) {
                    return bad("number expected after '='");
                }
                explicitValue = true;
            }
            if (inExtension) {
                additions.push_back(item.name);
                continue;
            }
            if (!explicitValue) {
                while (used.count(nextValue) != 0) {
                    ++nextValue;
                }
                item.value = nextValue;
            }
            used.insert(item.value);
            root.push_back(std::move(item));
        }
        // X.691 14.1: root items are numbered in the order of their values.
        std::stable_sort(root.begin(), root.end(),
                         [](const Item& a, const Item& b) { return a.value < b.value; });
        for (Item& item : root) {
            t->items.push_back(std::move(item.name));
        }
        t->rootCount = t->items.size();
        for (std::string& name : additions) {
            t->items.push_back(std::move(name));
        }
        t->extensible = inExtension;
        if (t->items.empty()) {
            return bad("empty enumeration");
        }
        return t;
    }

    Type* parseComponents(Kind kind)
    {
        Type* t = make(kind);
        if (!punct("{")) {
            return bad("'{' expected");
        }
        bool inExtension = false;
        while (!punct("}")) {
            if (punct("...")) {
                if (inExtension) {
                    return bad("second extension marker");
                }
                inExtension = true;
                t->extensible = true;
                continue;
            }
            if (peek().kind != Tok::Ident) {
                return bad("component name expected");
            }
            Component c;
            c.name = std::string(next().text);
            if (!punct(":")) {
                return bad("':' expected after " + c.name);
            }
            Type* type = parseType();
            if (!type) {
                return nullptr;
            }
            c.type = type;
            c.extension = inExtension;
            // "opt"/"default" followed by ':' is the next component's name instead.
            const bool nextIsName = pos_ + 1 < tokens_.size() &&
                                    tokens_[pos_ + 1].kind == Tok::Punct &&
                                    tokens_[pos_ + 1].text == ":";
            if (kind == Kind::Sequence && !nextIsName) {
                if (keyword("opt")) {
                    c.optional = true;
                } else if (keyword("default")) {
                    if (peek().kind != Tok::Ident && peek().kind != Tok::Number) {
                        return bad("value expected after 'default'");
                    }
                    c.optional = true;
                    c.hasDefault = true;
                    c.defaultValue = std::string(next().text);
                }
            }
            if (!inExtension) {
                ++t->rootCount;
                if (c.optional) {
                    c.bitmapIndex = static_cast<int>(t->optionalCount++);
                }
            }
            for (const Component& other : t->components) {
                if (other.name == c.name) {
                    return bad("component " + c.name + " written twice");
                }
            }
            t->components.push_back(std::move(c));
        }
        if (kind == Kind::Choice && t->components.empty()) {
            return bad("empty choice");
        }
        return t;
    }

    Schema& schema_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    std::string module_;
    std::string definition_;
    std::string message_;
    std::unordered_map<const Type*, Reference> references_;
};

int Type::indexOf(std::string_view n) const
{
    const auto it = nameIndex.find(n);
    return it == nameIndex.end() ? -1 : it->second;
}

std::string Type::displayName() const
{
    if (!name.empty()) {
        return module + "." + name;
    }
    switch (kind) {
    case Kind::Boolean:
        return "BOOLEAN";
    case Kind::Null:
        return "NULL";
    case Kind::Integer:
        return "INTEGER";
    case Kind::Enumerated:
        return "ENUMERATED";
    case Kind::BitString:
        return "BIT STRING";
    case Kind::OctetString:
        return "OCTET STRING";
    case Kind::ObjectIdentifier:
        return "OBJECT IDENTIFIER";
    case Kind::CharString:
        return "character string";
    case Kind::GeneralString:
        return "GeneralString";
    case Kind::Open:
        return "open type";
    case Kind::SequenceOf:
        return "SEQUENCE OF";
    case Kind::Sequence:
        return "SEQUENCE";
    case Kind::Choice:
        return "CHOICE";
    }
    return "?";
}

Result<std::shared_ptr<const Schema>> Schema::load(std::span<const std::string_view> moduleTexts,
                                                   std::shared_ptr<const Schema> base)
{
    auto schema = std::make_shared<Schema>();
    schema->base_ = std::move(base);
    SchemaLoader loader(*schema);
    std::string error;
    for (std::string_view text : moduleTexts) {
        if (!loader.parseModule(text, error)) {
            return Error{error, 0, {}};
        }
    }
    if (!loader.resolve(error)) {
        return Error{error, 0, {}};
    }
    for (Type& t : schema->types_) {
        if (t.kind == Kind::Enumerated) {
            for (std::size_t i = 0; i < t.items.size(); ++i) {
                t.nameIndex.emplace(t.items[i], static_cast<int>(i));
            }
        } else {
            for (std::size_t i = 0; i < t.components.size(); ++i) {
                t.nameIndex.emplace(t.components[i].name, static_cast<int>(i));
            }
        }
    }
    return std::shared_ptr<const Schema>(std::move(schema));
}

const Type* Schema::find(std::string_view module, std::string_view name) const
{
    std::string key;
    key.reserve(module.size() + name.size() + 1);
    key.append(module).append(".").append(name);
    if (auto it = defined_.find(key); it != defined_.end()) {
        return it->second;
    }
    return base_ ? base_->find(module, name) : nullptr;
}

const Type* Schema::find(std::string_view qualifiedName) const
{
    const std::size_t dot = qualifiedName.find('.');
    if (dot == std::string_view::npos) {
        return nullptr;
    }
    return find(qualifiedName.substr(0, dot), qualifiedName.substr(dot + 1));
}

std::vector<std::string> Schema::modules() const
{
    return moduleNames_;
}

} // namespace voip::asn
