#include "voip/device/medialog.h"

#include <spdlog/spdlog.h>

namespace voip {

namespace {

std::shared_ptr<spdlog::logger> engineLogger()
{
    if (auto logger = spdlog::get("voip"))
        return logger;
    return spdlog::default_logger();
}

} // namespace

void logMediaError(std::string_view message)
{
    engineLogger()->error("media\t{}", message);
}

void logMediaInfo(std::string_view message)
{
    engineLogger()->info("media\t{}", message);
}

} // namespace voip
