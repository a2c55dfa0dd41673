// kxcall: places or answers H.323 calls without a user interface and prints one line per
// event, for tests, demonstrations and diagnosing interoperation.

#include <atomic>
#include <csignal>
#include <iostream>

#include "tools/kxcall/kxcallmanager.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int)
{
    stopRequested = true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    auto options = kxcall::parseOptions(argc, argv, error);
    if (!options) {
        std::cerr << error << (error.back() == '\n' ? "" : "\n");
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    kxcall::CallManager manager(*options, std::cout);
    if (!manager.start())
        return 2;
    return manager.run(stopRequested);
}
