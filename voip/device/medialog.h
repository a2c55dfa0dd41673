#pragma once

#include <string_view>

namespace voip {

/// Log lines of the media and device layers, written to the engine trace: errors at
/// level 1 (always wanted: a device that failed mid-call), information at level 4.
void logMediaError(std::string_view message);
void logMediaInfo(std::string_view message);

} // namespace voip
