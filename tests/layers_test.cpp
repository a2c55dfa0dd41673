// The settings file's keys are named in one table (KxPhone/kxdefaults.*), which every reader
// and writer goes through; no other source of the client names one.
//
// The H.323 layer and its message libraries name message fields by constants generated from
// the schemas, so that a misspelt field does not compile.
//
// The layers of the source tree, lowest first: the call engine (voip/: its message and
// media libraries, then core/, then the h323/ and pcss/ endpoints beside each other), the
// stores (storage/), the client's engine (KxPhone/), the widgets (ui/).  A layer includes
// only the layers below it; the application object (KxPhone/kxapp.*, main.cpp) is the one
// place that puts the client's engine and the widgets together.

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

/// The project files a source text includes ("dir/file.h" or <dir/file.h>).
std::vector<std::string> includesOf(const std::string& text)
{
    static const std::regex include(R"(^\s*#\s*include\s*["<]([^">]+)[">])");
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, include))
            found.push_back(match[1]);
    }
    return found;
}

struct Rule
{
    std::string folder;                 // whose files are checked
    std::vector<std::string> forbidden; // folders they may not include from
    std::vector<std::string> except;    // files of `folder` that may
};

/// Each source file (.h, .cpp) under `folder`, relative to `root`, with its text.
std::vector<std::pair<std::string, std::string>> sourcesUnder(const fs::path& root,
                                                              const std::string& folder)
{
    std::vector<std::pair<std::string, std::string>> sources;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
        const auto extension = entry.path().extension();
        if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp"))
            continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        sources.emplace_back(fs::relative(entry.path(), root).generic_string(), text.str());
    }
    return sources;
}

/// "file includes target" for each include that breaks `rule`.
std::vector<std::string> breaches(const fs::path& root, const Rule& rule)
{
    std::vector<std::string> found;
    for (const auto& [file, text] : sourcesUnder(root, rule.folder)) {
        if (std::find(rule.except.begin(), rule.except.end(), file) != rule.except.end())
            continue;
        for (const auto& target : includesOf(text))
            for (const auto& folder : rule.forbidden)
                if (target.rfind(folder + "/", 0) == 0)
                    found.push_back(file + " includes " + target);
    }
    return found;
}

TEST(Layers, IncludesAreReadFromEitherQuoteAndSpacing)
{
    const auto found = includesOf("#include \"ui/mainwindow.h\"\n"
                                  "  #  include <ui/videowidget.h>\n"
                                  "// #include is mentioned here\n"
                                  "#include <QObject>\n");
    EXPECT_EQ(found, (std::vector<std::string>{"ui/mainwindow.h", "ui/videowidget.h", "QObject"}));
}

TEST(Layers, EachLayerIncludesOnlyTheLayersBelowIt)
{
    const fs::path root = KX_SOURCE_DIR;
    std::vector<Rule> rules = {
        {"voip", {"storage", "KxPhone", "ui", "tools"}, {}},
        {"voip/core", {"voip/h323", "voip/pcss"}, {}},
        {"voip/h323", {"voip/pcss"}, {}},
        {"voip/pcss", {"voip/h323"}, {}},
        {"storage", {"KxPhone", "ui", "tools"}, {}},
        {"KxPhone", {"ui", "tools"}, {"KxPhone/kxapp.cpp", "KxPhone/kxapp.h", "KxPhone/main.cpp"}},
        {"tools", {"storage", "KxPhone", "ui"}, {}},
    };
    for (const char* below :
         {"base", "asn", "q931", "h225", "h235", "h245", "rtp", "nat", "media", "device", "h224"})
        rules.push_back(
            {std::string("voip/") + below, {"voip/core", "voip/h323", "voip/pcss"}, {}});
    for (const auto& rule : rules)
        for (const auto& breach : breaches(root, rule))
            ADD_FAILURE() << breach;
}

/// The places in `text` that name a settings key themselves: a key's path in quotes, or a
/// settings object asked for a key by a literal.
std::vector<std::string> keysNamedIn(const std::string& text)
{
    static const std::regex named(
        R"re("(call|audio|video|codecs|net|state|trace|gatekeeper)/\w+"|)re"
        R"re(settings(_|\(\))?(\.|->)(value|setValue|contains|remove)\(")re");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), named);
         it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

TEST(SettingsKeys, OnlyTheTableNamesThem)
{
    EXPECT_EQ(keysNamedIn("settings.value(\"name\"); read(s, CallPip); \"net/stun\""),
              (std::vector<std::string>{"settings.value(\"", "\"net/stun\""}));
    EXPECT_EQ(keysNamedIn("settings_->setValue(\"x\", 1); context_.settings().contains(\"y\")"),
              (std::vector<std::string>{"settings_->setValue(\"", "settings().contains(\""}));
    const fs::path root = KX_SOURCE_DIR;
    for (const char* folder : {"KxPhone", "ui"})
        for (const auto& [file, text] : sourcesUnder(root, folder)) {
            if (file.rfind("KxPhone/kxdefaults.", 0) == 0)
                continue;
            for (const auto& place : keysNamedIn(text))
                ADD_FAILURE() << file << " names a settings key: " << place;
        }
}

/// The places in `text` where a message field is looked up by a name in quotes rather than
/// by the constants generated from the schemas (voip/h225/field.h, voip/h245/field.h).
std::vector<std::string> quotedFieldsIn(const std::string& text)
{
    static const std::regex quoted(R"re((\[|(\.|->)(field|has|is|choose|remove|indexOf)\()"\w)re");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), quoted);
         it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

TEST(MessageFields, TheEngineNamesThemByGeneratedConstants)
{
    EXPECT_EQ(quotedFieldsIn("body[\"fastStart\"]; olc.field(\"x\"); v->is(\"setup\"); "
                             "body[f225::fastStart]; names[\"a\"]"),
              (std::vector<std::string>{"[\"f", ".field(\"x", "->is(\"s", "[\"a"}));
    const fs::path root = KX_SOURCE_DIR;
    for (const char* folder : {"voip/h225", "voip/h245", "voip/h323"})
        for (const auto& [file, text] : sourcesUnder(root, folder))
            for (const auto& place : quotedFieldsIn(text))
                ADD_FAILURE() << file << " names a message field in quotes: " << place;
}

} // namespace
