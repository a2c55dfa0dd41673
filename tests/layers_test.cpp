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

/// "file includes target" for each include that breaks `rule`.
std::vector<std::string> breaches(const fs::path& root, const Rule& rule)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root / rule.folder)) {
        const auto extension = entry.path().extension();
        if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp"))
            continue;
        const std::string file = fs::relative(entry.path(), root).generic_string();
        if (std::find(rule.except.begin(), rule.except.end(), file) != rule.except.end())
            continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        for (const auto& target : includesOf(text.str()))
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
    for (const char* below : {"base", "asn", "q931", "h225", "h245", "rtp", "nat", "media",
                              "device", "h224"})
        rules.push_back({std::string("voip/") + below, {"voip/core", "voip/h323", "voip/pcss"}, {}});
    for (const auto& rule : rules)
        for (const auto& breach : breaches(root, rule))
            ADD_FAILURE() << breach;
}

} // namespace
