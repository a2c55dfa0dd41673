#include "voip/asn/result.h"

namespace voip::asn {

std::string Error::toString() const
{
    std::string s = message;
    if (bitOffset != 0) {
        s += " at bit " + std::to_string(bitOffset);
    }
    if (!path.empty()) {
        s += " in " + path;
    }
    return s;
}

} // namespace voip::asn
