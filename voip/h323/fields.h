#pragma once

#include "voip/h225/field.h"
#include "voip/h245/field.h"

namespace voip::h323 {

/// The names of the H.225.0 and H.245 message fields, generated from the schemas: a
/// misspelt field does not compile.
namespace f225 = h225::field;
namespace f245 = h245::field;

} // namespace voip::h323
