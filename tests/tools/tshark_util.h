#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kx::testutil {

/// The reference folder of the build (KX_REFERENCE_DIR), or empty when it is absent.
std::filesystem::path referenceDir();

/// True when a tshark binary can be run.
bool haveTshark();

/// Runs a shell command and returns its standard output (stderr is discarded unless the
/// command redirects it itself); sets
/// `status` to the exit status.
std::string runCommand(const std::string& command, int* status = nullptr);

/// The fields tshark prints for each frame: frame number -> field name -> values (one per
/// occurrence, in tree order).
using FrameFields = std::map<std::uint64_t, std::map<std::string, std::vector<std::string>>>;

/// Runs `tshark -r file -Y filter -T fields -e frame.number -e <field>...` with extra
/// options (e.g. "-d tcp.port==3000,h245") and parses the result.
FrameFields tsharkFields(const std::filesystem::path& file, const std::string& filter,
                         const std::vector<std::string>& fields,
                         const std::string& extraOptions = {});

/// Quotes a string for the shell.
std::string shellQuote(const std::string& text);

} // namespace kx::testutil
