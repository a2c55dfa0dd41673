// Presentation control of a call driven through its link and content channels alone: the
// token asked for, granted, refused, fought over and taken, our content channel, and the
// far end's presentation.

#include <vector>

#include <gtest/gtest.h>

#include "voip/h245/h239.h"
#include "voip/h323/presentationcontrol.h"

#include "tests/voip/h323/fakelink.h"

namespace {

using namespace voip;
using namespace voip::h323;
using kxtest::FakeLink;
using std::chrono::milliseconds;
using Event = PresentationEvent;
using Type = h245::H239MessageType;

/// The call's content channels as presentation control sees them.
struct FakeContent : ContentChannels
{
    bool canPresent() const override { return farEndTakesContent; }
    std::uint16_t newChannelNumber() override { return nextNumber++; }
    bool openContent(std::uint16_t number) override
    {
        opened.push_back(number);
        return openWorks;
    }
    void closeContent(std::uint16_t number) override { closed.push_back(number); }
    bool remoteContentOpen() const override { return remoteOpen; }
    bool master() const override { return weAreMaster; }
    bool released() const override { return callReleased; }
    void presentationEvent(PresentationEvent event) override { events.push_back(event); }

    bool farEndTakesContent = true;
    bool openWorks = true;
    bool remoteOpen = false;
    bool weAreMaster = false;
    bool callReleased = false;
    std::uint16_t nextNumber = 7;
    std::vector<std::uint16_t> opened;
    std::vector<std::uint16_t> closed;
    std::vector<PresentationEvent> events;
};

struct Presentation : testing::Test
{
    /// Takes the oldest message sent, which must be a presentation message of `type`.
    h245::H239Message takeH239(Type type)
    {
        auto message = h245::readH239Message(link.take());
        EXPECT_TRUE(bool(message));
        if (!message)
            return {};
        EXPECT_EQ(message->type, type);
        return *message;
    }
    /// Takes the oldest message sent, which must say channel `number` is (in)active.
    void takeIndication(std::uint16_t number, std::string_view type)
    {
        auto indication = h245::readMiscellaneousIndication(link.take());
        ASSERT_TRUE(bool(indication));
        EXPECT_EQ(indication->logicalChannel, number);
        EXPECT_EQ(indication->type, type);
    }
    static h245::H239Message answer(bool granted, std::uint16_t channel)
    {
        h245::H239Message response;
        response.type = Type::PresentationTokenResponse;
        response.acknowledged = granted;
        response.channelId = channel;
        return response;
    }
    /// Asks for the token with `symmetry` as our number; the request is taken off the wire.
    h245::H239Message request(std::uint8_t symmetry)
    {
        ourNumber = symmetry;
        EXPECT_TRUE(control.reserve());
        control.start();
        return takeH239(Type::PresentationTokenRequest);
    }
    /// Presents on channel 7: asked, granted, opened.
    void present()
    {
        request(60);
        control.onMessage(answer(true, 7));
        control.contentOpened(7);
        takeIndication(7, "logicalChannelActive");
        content.events.clear();
    }

    FakeLink link;
    FakeContent content;
    std::uint8_t ourNumber = 60;
    PresentationControl control{link, content, milliseconds(10000), [this] { return ourNumber; }};
};

TEST_F(Presentation, AGrantedTokenOpensOurContentChannelWhichIsSaidActiveAndStopsInOrder)
{
    const auto asked = request(60);
    EXPECT_EQ(asked.channelId, 7);
    EXPECT_EQ(asked.symmetryBreaking, 60);
    EXPECT_FALSE(control.reserve()) << "one presentation at a time";
    EXPECT_EQ(link.runningTimer().running, milliseconds(10000));

    control.onMessage(answer(true, 7));
    EXPECT_EQ(content.opened, std::vector<std::uint16_t>{7});
    EXPECT_FALSE(link.anyTimerRunning()) << "the answer came";
    EXPECT_FALSE(control.presenting()) << "not before the channel is open";
    control.contentOpened(8); // not ours
    EXPECT_TRUE(content.events.empty());

    control.contentOpened(7);
    takeIndication(7, "logicalChannelActive");
    EXPECT_EQ(content.events, std::vector{Event::LocalStarted});
    EXPECT_TRUE(control.presenting());
    EXPECT_TRUE(control.wanted());

    control.stop();
    takeIndication(7, "logicalChannelInactive");
    EXPECT_EQ(takeH239(Type::PresentationTokenRelease).channelId, 7);
    EXPECT_EQ(content.closed, std::vector<std::uint16_t>{7});
    EXPECT_EQ(content.events.back(), Event::LocalStopped);
    EXPECT_FALSE(control.presenting());
    EXPECT_FALSE(control.wanted());
    EXPECT_TRUE(control.reserve()) << "free to present again";
}

TEST_F(Presentation, EachWayOfBeingRefusedEndsOurRequestOnceAndKeepsTheCallUp)
{
    // A far end that takes no content: refused at once, nothing asked.
    content.farEndTakesContent = false;
    ASSERT_TRUE(control.reserve());
    control.start();
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
    EXPECT_FALSE(control.wanted());
    content.farEndTakesContent = true;
    content.events.clear();

    // Token refused: the token was never ours, so nothing is released.
    request(60);
    control.onMessage(answer(false, 8)); // another channel's answer is not ours
    EXPECT_TRUE(content.events.empty());
    control.onMessage(answer(false, 7));
    EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(content.opened.empty());

    // No answer in time.
    content.events.clear();
    request(60);
    link.expire(link.runningTimer());
    EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
    control.onMessage(answer(true, 8)); // too late
    EXPECT_TRUE(content.opened.empty());

    // The token granted but our content channel rejected: the token goes back.
    content.events.clear();
    request(60);
    control.onMessage(answer(true, 9));
    ASSERT_TRUE(control.opening(9));
    control.contentRefused(9);
    EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
    EXPECT_EQ(takeH239(Type::PresentationTokenRelease).channelId, 9);
    control.contentRefused(9);
    EXPECT_EQ(content.events.size(), 1u) << "told once";

    // The token granted but no channel can be opened.
    content.events.clear();
    content.openWorks = false;
    request(60);
    control.onMessage(answer(true, 10));
    EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
    EXPECT_EQ(takeH239(Type::PresentationTokenRelease).channelId, 10);
    EXPECT_FALSE(control.wanted());
    EXPECT_FALSE(link.failed) << "presentation never ends the call";
}

TEST_F(Presentation, CrossingRequestsGoToTheHigherNumberOrTheMasterOnATie)
{
    struct Case
    {
        std::uint8_t ours, theirs;
        bool master;
        bool theyWin;
    };
    for (const Case& c : {Case{60, 20, false, false}, Case{20, 60, true, true},
                          Case{40, 40, true, false}, Case{40, 40, false, true}}) {
        SCOPED_TRACE(testing::Message() << int(c.ours) << " against " << int(c.theirs)
                                        << (c.master ? " as master" : " as slave"));
        content.events.clear();
        content.opened.clear();
        content.nextNumber = 7;
        content.weAreMaster = c.master;
        request(c.ours);
        EXPECT_EQ(control.onTokenRequest(3, c.theirs, 1), c.theyWin);
        const auto response = takeH239(Type::PresentationTokenResponse);
        EXPECT_EQ(response.acknowledged, c.theyWin);
        EXPECT_EQ(response.channelId, 3);
        EXPECT_EQ(response.terminalLabel, 1);
        if (c.theyWin) {
            EXPECT_EQ(content.events, std::vector{Event::LocalRefused});
            EXPECT_TRUE(link.sent.empty()) << "a token given away is not released";
        } else {
            EXPECT_TRUE(content.events.empty());
            control.onMessage(answer(true, 7));
            EXPECT_EQ(content.opened, std::vector<std::uint16_t>{7});
        }
        control.stop();
        link.sent.clear();
    }
}

TEST_F(Presentation, TheFarEndPresentsWhileItHoldsTheTokenWithItsContentOpen)
{
    // A content channel opened without the token carries no presentation.
    control.remoteContentOpened();
    EXPECT_FALSE(control.remotePresenting());

    // Taking the token over ours: we stop, and its open channel presents at once.
    present();
    content.remoteOpen = true;
    EXPECT_TRUE(control.onTokenRequest(5, 30, 0));
    takeH239(Type::PresentationTokenResponse);
    takeIndication(7, "logicalChannelInactive");
    EXPECT_TRUE(link.sent.empty()) << "the token is the far end's: nothing released";
    EXPECT_EQ(content.closed, std::vector<std::uint16_t>{7});
    EXPECT_EQ(content.events, (std::vector{Event::LocalStopped, Event::RemoteStarted}));
    EXPECT_TRUE(control.remotePresenting());
    EXPECT_FALSE(control.presenting());

    // Said active again, or its channel opened again: no second start.
    control.remoteContentActive(true);
    control.remoteContentOpened();
    EXPECT_EQ(content.events.size(), 2u);

    control.remoteContentActive(false);
    control.remoteContentActive(true);
    control.remoteContentClosed();
    EXPECT_EQ(content.events,
              (std::vector{Event::LocalStopped, Event::RemoteStarted, Event::RemoteStopped,
                           Event::RemoteStarted, Event::RemoteStopped}));

    // Its channel opened while it holds the token presents; the token's release stops it.
    content.events.clear();
    control.remoteContentOpened();
    h245::H239Message release;
    release.type = Type::PresentationTokenRelease;
    control.onMessage(release);
    EXPECT_EQ(content.events, (std::vector{Event::RemoteStarted, Event::RemoteStopped}));
    control.remoteContentOpened();
    EXPECT_FALSE(control.remotePresenting()) << "released: the token is nobody's";
}

TEST_F(Presentation, TheFarEndClosingOurContentOrTheCallEndingStopsUsWithoutTalkingToAGoneCall)
{
    present();
    EXPECT_FALSE(control.closeRequested(8));
    EXPECT_TRUE(content.events.empty());
    EXPECT_TRUE(control.closeRequested(7));
    takeIndication(7, "logicalChannelInactive");
    takeH239(Type::PresentationTokenRelease);
    EXPECT_EQ(content.closed, std::vector<std::uint16_t>{7});
    EXPECT_EQ(content.events, std::vector{Event::LocalStopped});
    EXPECT_FALSE(control.closeRequested(7)) << "already closed";

    // A released call: the channel is let go, but nothing more goes on the wire.
    content.nextNumber = 7;
    present();
    content.callReleased = true;
    control.stop();
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(content.closed, (std::vector<std::uint16_t>{7, 7}));
    EXPECT_EQ(content.events, std::vector{Event::LocalStopped});
    ASSERT_TRUE(control.reserve());
    control.start();
    EXPECT_TRUE(link.sent.empty()) << "nothing asked on a released call";
}

TEST_F(Presentation, AFlowControlReleaseRequestIsGrantedForItsChannel)
{
    h245::H239Message ask;
    ask.type = Type::FlowControlReleaseRequest;
    ask.channelId = 4;
    ask.bitRate = 5000;
    control.onMessage(ask);
    const auto response = takeH239(Type::FlowControlReleaseResponse);
    EXPECT_EQ(response.channelId, 4);
    EXPECT_EQ(response.acknowledged, true);
    EXPECT_TRUE(content.events.empty());
}

} // namespace
