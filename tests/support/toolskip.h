#pragma once
// A test that needs a tool this machine may lack (tshark, PulseAudio, Xvfb, ffmpeg...)
// skips without it on a developer's machine. Where KX_REQUIRE_TOOLS is set (CI sets it),
// the same absence fails the test: the suite cannot pass there without its checks.

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace kxtest {

inline bool toolsRequired()
{
    const char* value = std::getenv("KX_REQUIRE_TOOLS");
    return value && *value && std::strcmp(value, "0") != 0;
}

} // namespace kxtest

/// In place of GTEST_SKIP() where a tool or service is missing:
///     KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
#define KX_SKIP_WITHOUT_TOOL()                                                              \
    return GTEST_MESSAGE_(kxtest::toolsRequired()                                          \
                              ? "A tool this run requires is missing (KX_REQUIRE_TOOLS)"  \
                              : "",                                                       \
                          kxtest::toolsRequired() ? ::testing::TestPartResult::kFatalFailure \
                                                  : ::testing::TestPartResult::kSkip)
