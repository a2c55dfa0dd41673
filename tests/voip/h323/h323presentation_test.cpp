// Presentation (H.239) between two engines on 127.0.0.1: the token, the content channel
// and what each side hears; crossing requests, a far end that takes the token over or
// cannot take content, and a presentation switched on and off fast.  (Every other way of
// being refused: presentationcontrol_test.)

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/voip/h323/h323fixture.h"
#include "voip/h245/h239.h"
#include "voip/media/mediastream.h"

namespace voip::h323::test {
namespace {

std::vector<std::string> events(const Side& side)
{
    std::lock_guard lock(side.manager.mutex);
    return side.manager.presentations;
}

bool hasContentChannel(const Connection& leg, bool fromRemote)
{
    for (const auto& channel : leg.logicalChannels())
        if (channel.fromRemote == fromRemote && channel.open &&
            channel.formatName.rfind("H.239", 0) == 0)
            return true;
    return false;
}

class H323Presentation : public testing::Test
{
protected:
    void call()
    {
        bob->manager.answerNow();
        std::size_t before = 0;
        {
            std::lock_guard lock(alice.manager.mutex);
            before = alice.manager.established.size();
        }
        token = alice.call(bob->address());
        ASSERT_TRUE(
            alice.manager.waitUntil([&] { return alice.manager.established.size() > before; }));
        caller = alice.h323(token);
        ASSERT_TRUE(eventually([&] { return bob->anyH323() != nullptr; }));
        callee = bob->anyH323();
        ASSERT_TRUE(caller && callee);
        ASSERT_TRUE(
            eventually([&] { return caller->isH245Complete() && callee->isH245Complete(); }));
    }
    void TearDown() override
    {
        caller.reset();
        callee.reset();
        if (!token.empty())
            alice.manager.clearCall(token, EndReason::LocalUser, true);
    }

    Side alice{"alice"};
    std::unique_ptr<Side> bob = std::make_unique<Side>("bob");
    std::string token;
    std::shared_ptr<Connection> caller;
    std::shared_ptr<Connection> callee;
};

TEST_F(H323Presentation, EachSidePresentsInTurnAndTheOtherHearsOfIt)
{
    call();
    ASSERT_TRUE(caller->startPresentation());
    EXPECT_FALSE(caller->startPresentation()) << "one presentation at a time";
    ASSERT_TRUE(eventually([&] { return caller->isPresenting() && callee->isRemotePresenting(); }));
    EXPECT_TRUE(hasContentChannel(*caller, false));
    EXPECT_TRUE(eventually([&] { return hasContentChannel(*callee, true); }));
    EXPECT_EQ(events(alice), std::vector<std::string>{"local-started"});
    EXPECT_EQ(events(*bob), std::vector<std::string>{"remote-started"});

    ASSERT_TRUE(caller->stopPresentation());
    ASSERT_TRUE(eventually([&] { return !callee->isRemotePresenting(); }));
    EXPECT_FALSE(caller->isPresenting());
    EXPECT_TRUE(eventually([&] { return !hasContentChannel(*callee, true); }));
    EXPECT_FALSE(caller->stopPresentation()) << "nothing left to stop";

    // Now the other way; then the first side takes the token over while it is held.
    ASSERT_TRUE(callee->startPresentation());
    ASSERT_TRUE(eventually([&] { return callee->isPresenting() && caller->isRemotePresenting(); }));
    ASSERT_TRUE(caller->startPresentation());
    ASSERT_TRUE(eventually([&] { return caller->isPresenting() && callee->isRemotePresenting(); }));
    EXPECT_FALSE(callee->isPresenting());
    EXPECT_FALSE(caller->isRemotePresenting());
    EXPECT_TRUE(eventually([&] { return events(alice).size() == 5 && events(*bob).size() == 5; }));
    EXPECT_EQ(events(alice),
              (std::vector<std::string>{"local-started", "local-stopped", "remote-started",
                                        "remote-stopped", "local-started"}));
    EXPECT_EQ(events(*bob),
              (std::vector<std::string>{"remote-started", "remote-stopped", "local-started",
                                        "local-stopped", "remote-started"}));
    // One content channel each way at most, and the call is still up.
    EXPECT_FALSE(hasContentChannel(*callee, false));
    EXPECT_TRUE(caller->findLogicalChannel(AudioSessionId, false));
}

TEST_F(H323Presentation, CrossingRequestsLeaveExactlyOnePresenter)
{
    call();
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(caller->startPresentation());
        ASSERT_TRUE(callee->startPresentation());
        ASSERT_TRUE(eventually([&] {
            return !caller->isPresentationWanted() || !callee->isPresentationWanted() ||
                   (caller->isPresenting() != callee->isPresenting());
        }));
        ASSERT_TRUE(eventually([&] {
            return (caller->isPresenting() && callee->isRemotePresenting() &&
                    !callee->isPresentationWanted()) ||
                   (callee->isPresenting() && caller->isRemotePresenting() &&
                    !caller->isPresentationWanted());
        })) << "round "
            << round << " caller " << caller->isPresentationWanted() << caller->isPresenting()
            << caller->isRemotePresenting() << " callee " << callee->isPresentationWanted()
            << callee->isPresenting() << callee->isRemotePresenting();
        caller->stopPresentation();
        callee->stopPresentation();
        ASSERT_TRUE(eventually([&] {
            return !caller->isPresentationWanted() && !callee->isPresentationWanted() &&
                   !caller->isRemotePresenting() && !callee->isRemotePresenting();
        })) << "round "
            << round;
    }
}

TEST_F(H323Presentation, AFarEndWithoutContentRefusesAtOnce)
{
    bob->manager.setMediaFormatMask({"H.239*"});
    call();
    ASSERT_TRUE(caller->startPresentation());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return !alice.manager.presentations.empty(); }));
    EXPECT_EQ(events(alice), std::vector<std::string>{"local-refused"});
    EXPECT_FALSE(caller->isPresentationWanted());
    EXPECT_FALSE(hasContentChannel(*caller, false));
}

TEST_F(H323Presentation, SwitchedOnAndOffFastLeavesNoChannelBehind)
{
    call();
    for (int i = 0; i < 25; ++i) {
        caller->startPresentation();
        if (i % 3 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        caller->stopPresentation();
    }
    ASSERT_TRUE(eventually([&] { return !caller->isPresentationWanted(); }));
    ASSERT_TRUE(eventually([&] {
        return !hasContentChannel(*caller, false) && !hasContentChannel(*callee, true) &&
               !callee->isRemotePresenting();
    }));
    // Every start that began ended, in order; the far end heard a stop for each start.
    bool presenting = false;
    for (const auto& event : events(alice)) {
        if (event == "local-started") {
            EXPECT_FALSE(presenting) << "started twice";
            presenting = true;
        } else {
            presenting = false;
        }
    }
    EXPECT_FALSE(presenting);
    EXPECT_TRUE(eventually([&] {
        const auto theirs = events(*bob);
        return std::count(theirs.begin(), theirs.end(), "remote-started") ==
               std::count(theirs.begin(), theirs.end(), "remote-stopped");
    }));
    // And the next presentation works.
    ASSERT_TRUE(caller->startPresentation());
    EXPECT_TRUE(eventually([&] { return caller->isPresenting() && callee->isRemotePresenting(); }));
}

} // namespace
} // namespace voip::h323::test
