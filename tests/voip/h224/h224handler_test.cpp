// Two H.224 handlers joined back to back through their own streams, as the media patches
// of a call join them: discovery of each other's camera control, camera moves with their
// CONTINUE/STOP timing, time-outs, and a far end that floods.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "voip/h224/h224handler.h"
#include "voip/media/mediaformatregistry.h"
#include "tests/support/eventually.h"

namespace voip::h224 {
namespace {

using namespace std::chrono_literals;

class RecordingObserver : public FeccObserver
{
public:
    void onCameraEvent(const CameraEvent& event) override
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    void onRemoteClient() override { remoteClient_ = true; }
    void onRemoteCapabilities(const FeccCapabilities& capabilities) override
    {
        std::lock_guard lock(mutex_);
        capabilities_ = capabilities;
        changed_.notify_all();
    }

    std::vector<CameraEvent> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// Waits until `count` events have come.
    bool waitForEvents(std::size_t count, std::chrono::milliseconds timeout = 3s)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }
    std::optional<FeccCapabilities> capabilities() const
    {
        std::lock_guard lock(mutex_);
        return capabilities_;
    }
    std::size_t count(CameraEvent::Kind kind) const
    {
        std::lock_guard lock(mutex_);
        return std::size_t(std::count_if(events_.begin(), events_.end(),
                                         [&](const CameraEvent& e) { return e.kind == kind; }));
    }

    std::atomic<bool> remoteClient_{false};

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CameraEvent> events_;
    std::optional<FeccCapabilities> capabilities_;
};

MediaFormat feccFormat()
{
    return *MediaFormatRegistry::global().find(format::Fecc);
}

/// Carries what one handler sends to another, on a thread of its own.
class Link
{
public:
    Link(H224Handler& from, H224Handler& to)
        : reader_(from.openTransmit(feccFormat(), DataSessionId))
        , sink_(to.openReceive(feccFormat(), DataSessionId))
    {
        reader_->open();
        sink_->open();
        thread_ = std::thread([this] {
            StreamFrame frame;
            while (reader_->readFrame(frame)) {
                ++frames_;
                sink_->writeFrame(frame);
            }
        });
    }
    ~Link()
    {
        reader_->close();
        thread_.join();
    }
    unsigned frames() const { return frames_; }

private:
    std::shared_ptr<FrameStream> reader_;
    std::shared_ptr<FrameStream> sink_;
    std::atomic<unsigned> frames_{0};
    std::thread thread_;
};

FeccCapabilities movingCamera()
{
    FeccCapabilities capabilities;
    capabilities.presets = 6;
    VideoSourceCapabilities main;
    main.pan = main.tilt = main.zoom = true;
    capabilities.sources.push_back(main);
    return capabilities;
}

struct Pair
{
    std::shared_ptr<RecordingObserver> nearObserver = std::make_shared<RecordingObserver>();
    std::shared_ptr<RecordingObserver> farObserver = std::make_shared<RecordingObserver>();
    std::shared_ptr<H224Handler> nearEnd = H224Handler::create({}, nearObserver);
    std::shared_ptr<H224Handler> farEnd = H224Handler::create(movingCamera(), farObserver);
    // The far end's channel opens first, so the near end's answers to its announcement
    // are lost, as they can be in a call: discovery must still complete.
    std::unique_ptr<Link> back = std::make_unique<Link>(*farEnd, *nearEnd);
    std::unique_ptr<Link> forth = std::make_unique<Link>(*nearEnd, *farEnd);
};

using kxtest::eventually;

TEST(H224Handler, EachSideLearnsTheOthersCameraControl)
{
    Pair pair;
    ASSERT_TRUE(eventually([&] { return pair.nearEnd->fecc()->remoteCapabilitiesReceived(); }));
    EXPECT_TRUE(pair.nearEnd->fecc()->remoteClientSeen());
    EXPECT_TRUE(pair.nearObserver->remoteClient_);
    EXPECT_EQ(pair.nearObserver->capabilities(), movingCamera());
    EXPECT_EQ(pair.nearEnd->remoteFeccCapabilities(), movingCamera());
    ASSERT_TRUE(eventually([&] { return pair.farEnd->fecc()->remoteCapabilitiesReceived(); }));
    EXPECT_EQ(pair.farEnd->statistics().framesRefused, 0u);
}

TEST(H224Handler, AShortActionStartsAndStopsTheFarCamera)
{
    Pair pair;
    // Pan +1 is to the left; the far end hears a START that times out a little after the
    // move, then the STOP that ends it first.
    ASSERT_TRUE(pair.nearEnd->fecc()->action(ActionType::Pan, +1, 10ms));
    ASSERT_TRUE(pair.farObserver->waitForEvents(2));
    const auto events = pair.farObserver->events();
    EXPECT_EQ(events[0].kind, CameraEvent::Kind::Start);
    EXPECT_EQ(events[0].move.describe(), "pan=left");
    EXPECT_EQ(events[0].timeout, 150ms);
    EXPECT_EQ(events[1].kind, CameraEvent::Kind::Stop);
    EXPECT_EQ(events[1].move.describe(), "pan=left");
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(pair.farObserver->count(CameraEvent::Kind::TimedOut), 0u);
    EXPECT_FALSE(pair.farEnd->fecc()->currentRemoteMove().any());

    EXPECT_FALSE(pair.nearEnd->fecc()->action(ActionType::Zoom, 0, 10ms));
    EXPECT_TRUE(pair.nearEnd->fecc()->activatePreset(4));
    EXPECT_FALSE(pair.nearEnd->fecc()->storePreset(16));
    ASSERT_TRUE(pair.farObserver->waitForEvents(3));
    EXPECT_EQ(pair.farObserver->events()[2].kind, CameraEvent::Kind::ActivatePreset);
    EXPECT_EQ(pair.farObserver->events()[2].preset, 4);
}

TEST(H224Handler, AHeldMoveGoesOnWithContinuesUntilStopped)
{
    Pair pair;
    CameraMove move;
    move[ActionType::Tilt] = -1;
    ASSERT_TRUE(pair.nearEnd->fecc()->startAction(move));
    // Well past the 800 ms a START lasts on its own.
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(pair.farEnd->fecc()->currentRemoteMove(), move);
    EXPECT_GE(pair.farObserver->count(CameraEvent::Kind::Continue), 2u);
    EXPECT_EQ(pair.farObserver->count(CameraEvent::Kind::TimedOut), 0u);
    ASSERT_TRUE(pair.nearEnd->fecc()->stopAction());
    ASSERT_TRUE(eventually([&] { return pair.farObserver->count(CameraEvent::Kind::Stop) == 1; }));
    EXPECT_FALSE(pair.nearEnd->fecc()->stopAction()); // nothing left to stop
}

TEST(H224Handler, AStartWithoutStopTimesOutOnItsOwn)
{
    auto observer = std::make_shared<RecordingObserver>();
    auto handler = H224Handler::create({}, observer);
    Frame frame;
    frame.data = {0x01, 0xC0, 0x02}; // START pan right, 100 ms
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(handler->receive(encodeFrame(frame)));
    ASSERT_TRUE(observer->waitForEvents(2));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(observer->events()[1].kind, CameraEvent::Kind::TimedOut);
    EXPECT_EQ(observer->events()[1].move.describe(), "pan=right");
    EXPECT_GE(elapsed, 100ms);

    // A CONTINUE with nothing started, a malformed H.281 message: no event.
    frame.data = {0x02, 0xC0};
    EXPECT_TRUE(handler->receive(encodeFrame(frame)));
    frame.data = {0x01, 0x00, 0x02};
    EXPECT_TRUE(handler->receive(encodeFrame(frame)));
    EXPECT_EQ(handler->fecc()->messagesRefused(), 1u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(observer->events().size(), 2u);
}

TEST(H224Handler, AFloodIsCutToTheRateLimitAndAnswersFollowIt)
{
    auto flooded = H224Handler::create({}, nullptr);
    auto watcher = H224Handler::create({}, nullptr);
    Link answers(*flooded, *watcher);
    std::this_thread::sleep_for(50ms);
    const auto announced = answers.frames();

    Frame command;
    command.clientId = CmeClientId;
    command.data = {0x01, 0xFF}; // client list command: each one draws an answer
    unsigned taken = 0;
    for (int i = 0; i < 1000; ++i)
        taken += flooded->receive(encodeFrame(command)) ? 1 : 0;
    EXPECT_LE(taken, H224Handler::MaxFramesPerSecond * 2); // the window may turn once
    EXPECT_GE(flooded->statistics().framesRefused, 1000u - taken);
    ASSERT_TRUE(eventually([&] { return answers.frames() > announced; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(answers.frames(), announced + taken);

    // Garbage is refused and counted, never answered.  (A handler of its own: the watcher
    // may be at its own rate limit after all the answers.)
    auto fresh = H224Handler::create({}, nullptr);
    EXPECT_FALSE(fresh->receive(std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(fresh->statistics().lastRefusal, "shorter than an H.224 frame header");
}

TEST(H224Handler, NothingIsSentWithoutAChannelAndTheHandlerOutlivesNoOne)
{
    auto handler = H224Handler::create({}, nullptr);
    EXPECT_FALSE(handler->transmitOpen());
    EXPECT_FALSE(handler->fecc()->action(ActionType::Pan, 1, 10ms));
    EXPECT_FALSE(handler->fecc()->startAction(CameraMove{}));

    // A move under way when the call's handler goes: its scheduled CONTINUE and STOP
    // find nothing to act on.
    std::weak_ptr<FeccHandler> fecc;
    {
        auto other = H224Handler::create({}, nullptr);
        Link link(*handler, *other);
        fecc = handler->fecc();
        CameraMove move;
        move[ActionType::Zoom] = 1;
        EXPECT_TRUE(handler->fecc()->startAction(move));
    }
    handler.reset();
    EXPECT_TRUE(fecc.expired());
    std::this_thread::sleep_for(500ms);
}

} // namespace
} // namespace voip::h224
