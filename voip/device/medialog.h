#pragma once

#include <string_view>

namespace voip {

/// Log lines of the media and device layers.  They go to the engine's spdlog logger
/// ("voip" when the application registered it, the default logger otherwise), so that
/// they land in the same trace as the rest of the engine.
void logMediaError(std::string_view message);
void logMediaInfo(std::string_view message);

} // namespace voip
