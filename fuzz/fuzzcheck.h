#pragma once

// What every fuzz target asserts with: a broken promise is a crash libFuzzer reports.

#include <cstdlib>

namespace kxfuzz {

inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace kxfuzz
