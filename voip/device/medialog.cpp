#include "voip/device/medialog.h"

#include "voip/base/trace.h"

namespace voip {

void logMediaError(std::string_view message)
{
    VOIP_TRACE(1, "Media\tError: " << message);
}

void logMediaInfo(std::string_view message)
{
    VOIP_TRACE(4, "Media\t" << message);
}

} // namespace voip
