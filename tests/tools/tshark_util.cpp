#include "tshark_util.h"

#include <array>
#include <cstdio>
#include <sstream>

#include <sys/wait.h>

namespace kx::testutil {
namespace {

// The separator tshark puts between the occurrences of one field: a control character
// that no field text in these tests contains.
constexpr char kAggregator = '\x1e';

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

} // namespace

std::filesystem::path referenceDir()
{
    std::error_code ec;
    const std::filesystem::path dir(KX_REFERENCE_DIR);
    if (!std::filesystem::is_directory(dir / "pcaps", ec))
        return {};
    return dir;
}

bool haveTshark()
{
    int status = -1;
    runCommand("tshark -v", &status);
    return status == 0;
}

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string runCommand(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen(("(" + command + ") 2>/dev/null").c_str(), "r");
    if (!pipe) {
        if (status)
            *status = -1;
        return output;
    }
    std::array<char, 65536> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    const int raw = pclose(pipe);
    if (status)
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

FrameFields tsharkFields(const std::filesystem::path& file, const std::string& filter,
                         const std::vector<std::string>& fields, const std::string& extraOptions)
{
    std::string command =
        "tshark -n -r " + shellQuote(file.string()) + " " + extraOptions + " -Y " +
        shellQuote(filter) +
        " -T fields -E separator=/t -E occurrence=a -E aggregator=" + std::string(1, kAggregator) +
        " -e frame.number";
    for (const auto& field : fields)
        command += " -e " + field;
    FrameFields out;
    std::istringstream lines(runCommand(command));
    std::string line;
    while (std::getline(lines, line)) {
        const auto columns = split(line, '\t');
        if (columns.empty() || columns[0].empty())
            continue;
        auto& frame = out[std::stoull(columns[0])];
        for (std::size_t i = 0; i < fields.size(); ++i) {
            auto& values = frame[fields[i]];
            if (i + 1 < columns.size() && !columns[i + 1].empty())
                values = split(columns[i + 1], kAggregator);
        }
    }
    return out;
}

} // namespace kx::testutil
