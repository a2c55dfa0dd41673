#pragma once

#include <string>

#include "voip/base/result.h"

namespace voip {

/// Outcome of an engine operation that can fail: success, or the reason in words fit for a
/// log line or the user.
using Status = base::Status<std::string>;

} // namespace voip
