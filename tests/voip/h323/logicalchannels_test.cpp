// A call's logical channels and fastStart driven through their link and media hooks
// alone: which of ours open, what the far end's get, closing, refusals and unanswered
// channels, fastStart proposals and answers, with no sockets and timers that expire when
// the test says.

#include <algorithm>

#include <gtest/gtest.h>

#include "voip/h225/schema.h"
#include "voip/h245/channels.h"
#include "voip/h323/faststart.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/logicalchannels.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/mediastream.h"

#include "tests/voip/h323/fakelink.h"

namespace {

using namespace voip;
using namespace voip::h323;
using kxtest::FakeLink;
using std::chrono::milliseconds;

MediaFormat formatNamed(std::string_view name)
{
    static const MediaFormatList all = standardMediaFormats();
    const MediaFormat* found = findFormat(all, name);
    EXPECT_NE(found, nullptr) << name;
    return found ? *found : MediaFormat{};
}

h245::MediaAddress portAt(std::uint16_t port)
{
    h245::MediaAddress address;
    address.ip = {127, 0, 0, 1};
    address.port = port;
    return address;
}

std::string nameOf(const asn::Value& message)
{
    auto kind = h245::kindOf(message);
    return kind ? std::string(kind->name) : std::string();
}

/// The call as the channels see it: formats, the far end's set, and what they told it.
struct FakeMedia : ChannelMedia
{
    MediaFormatList formatsToOffer() const override { return offered; }
    const h245::CapabilitySet& remoteCapabilities() const override { return remote; }
    bool master() const override { return isMaster; }
    std::unique_ptr<MediaSessionPorts> bindSession(unsigned sessionId) override
    {
        if (noPorts)
            return nullptr;
        auto ports = std::make_unique<MediaSessionPorts>();
        ports->rtpAddress = portAt(static_cast<std::uint16_t>(5000 + 2 * sessionId));
        ports->rtcpAddress = portAt(static_cast<std::uint16_t>(5001 + 2 * sessionId));
        return ports;
    }
    std::shared_ptr<MediaStream> openStream(const MediaFormat& format, unsigned sessionId,
                                            bool receive) override
    {
        auto stream = std::make_shared<MediaStream>(format, sessionId, receive);
        streams.push_back(stream);
        return stream;
    }
    void closeStream(const std::shared_ptr<MediaStream>& stream) override
    {
        closed.push_back(stream);
    }
    void channelOpened(const ChannelState& channel) override { opened.push_back(channel.number); }
    void channelRefused(std::uint16_t number) override { refused.push_back(number); }
    void remoteChannelClosing(const ChannelState& channel) override
    {
        closing.push_back(channel.number);
    }
    bool closeRequested(std::uint16_t number) override { return number == handledByCall; }
    void fastStartLeft() override { ++leftFastStart; }
    void channelsChanged() override { ++changes; }

    /// The far end receives `names`, as its capability set would say.
    void farEndReceives(std::initializer_list<std::string_view> names)
    {
        MediaFormatList formats;
        for (auto name : names)
            formats.push_back(formatNamed(name));
        remote = capabilitySetOfFormats(formats, 1);
    }

    MediaFormatList offered{formatNamed(format::G722), formatNamed(format::G711uLaw),
                            formatNamed(format::G711ALaw), formatNamed(format::H264Mode1),
                            formatNamed(format::H239H264)};
    h245::CapabilitySet remote;
    bool isMaster = true;
    bool noPorts = false;
    std::uint16_t handledByCall = 0;
    std::vector<std::shared_ptr<MediaStream>> streams, closed;
    std::vector<std::uint16_t> opened, refused, closing;
    int leftFastStart = 0;
    int changes = 0;
};

struct Channels
{
    FakeLink link;
    FakeMedia media;
    LogicalChannels channels{link, media, milliseconds(10000)};

    /// The OpenLogicalChannels sent, read, oldest first; the other messages stay.
    std::vector<h245::LogicalChannel> takeOpens()
    {
        std::vector<h245::LogicalChannel> opens;
        std::deque<asn::Value> rest;
        for (auto& message : link.sent) {
            if (FakeLink::idOf(message) == h245::MessageId::OpenLogicalChannel)
                opens.push_back(*h245::readOpenLogicalChannel(message));
            else
                rest.push_back(message);
        }
        link.sent = std::move(rest);
        return opens;
    }
    const ChannelState* find(std::uint16_t number, bool fromRemote) const
    {
        for (const auto& channel : channels.list())
            if (channel->number == number && channel->fromRemote == fromRemote)
                return channel.get();
        return nullptr;
    }
};

asn::Value farEndOpens(std::uint16_t number, std::string_view format, std::uint8_t sessionId)
{
    h245::LogicalChannel parameters;
    parameters.number = number;
    parameters.dataType = *capabilityOfFormat(formatNamed(format));
    parameters.sessionId = sessionId;
    parameters.mediaControlChannel = portAt(7001);
    return h245::buildOpenLogicalChannel(parameters);
}

TEST(LogicalChannels, OursOpenInOurOrderForWhatTheFarEndReceivesAndAnUnansweredOneEndsTheCall)
{
    Channels side;
    side.media.farEndReceives({format::G711uLaw, format::H264Mode1});
    side.channels.start();
    const auto opens = side.takeOpens();
    ASSERT_EQ(opens.size(), 2u) << "one audio and one video channel, no content, no data";
    EXPECT_EQ(opens[0].dataType.type, h245::CapabilityType::G711Ulaw)
        << "G.722 comes first in our order, but the far end does not receive it";
    EXPECT_EQ(opens[0].sessionId, AudioSessionId);
    EXPECT_EQ(opens[0].mediaControlChannel, portAt(5003));
    EXPECT_EQ(opens[1].dataType.type, h245::CapabilityType::H264);
    EXPECT_EQ(opens[1].sessionId, VideoSessionId);
    EXPECT_NE(opens[0].number, opens[1].number);
    EXPECT_EQ(side.link.timers.size(), 2u);

    // The audio channel's ack opens its stream, confirms, and stops its timer.
    h245::LogicalChannelAck ack;
    ack.number = opens[0].number;
    ack.mediaChannel = portAt(6000);
    ack.mediaControlChannel = portAt(6001);
    side.channels.onOpenAck(h245::buildOpenLogicalChannelAck(ack));
    ASSERT_EQ(side.link.sent.size(), 1u);
    EXPECT_EQ(nameOf(side.link.sent.front()), "openLogicalChannelConfirm");
    EXPECT_EQ(side.media.opened, std::vector<std::uint16_t>{opens[0].number});
    ASSERT_EQ(side.media.streams.size(), 1u);
    EXPECT_EQ(side.media.streams[0]->sessionId(), AudioSessionId);
    const ChannelState* audio = side.find(opens[0].number, false);
    ASSERT_TRUE(audio && audio->open);
    EXPECT_EQ(audio->remoteMedia, portAt(6000));
    EXPECT_EQ(side.channels.sessions().at(AudioSessionId)->remoteRtcp, portAt(6001));
    // A second ack of the same channel changes nothing.
    side.channels.onOpenAck(h245::buildOpenLogicalChannelAck(ack));
    EXPECT_EQ(side.media.streams.size(), 1u);

    // The video channel stays unanswered: its time runs out and the call fails.
    auto& timer = side.link.runningTimer();
    EXPECT_EQ(timer.running, milliseconds(10000));
    side.link.expire(timer);
    EXPECT_EQ(side.link.failed, EndReason::MediaFailed);

    // The view leaves nothing out and marks what is open.
    const auto view = side.channels.view(false);
    ASSERT_EQ(view.size(), 2u);
    EXPECT_TRUE(view[0].open);
    EXPECT_EQ(view[0].localMedia, portAt(5002));
    EXPECT_EQ(view[0].bitRate, 64000u);
    EXPECT_FALSE(view[1].open);
    EXPECT_FALSE(side.channels.view(true)[0].open) << "a released call shows nothing open";
}

TEST(LogicalChannels, ContentUnansweredOrRejectedIsRefusedWithoutEndingTheCall)
{
    Channels side;
    side.media.isMaster = false;
    side.media.farEndReceives({format::H239H264});
    const MediaFormat content = formatNamed(format::H239H264);
    const h245::Capability* theirs = side.channels.remoteReceiveCapability(content);
    ASSERT_NE(theirs, nullptr);
    ASSERT_NE(side.channels.openTransmitChannel(content, *theirs, 40), nullptr);
    auto opens = side.takeOpens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].number, 40);
    EXPECT_EQ(opens[0].sessionId, 0) << "a slave leaves the content session's number to the master";
    side.link.expire(side.link.runningTimer());
    EXPECT_FALSE(side.link.failed);
    EXPECT_EQ(side.media.refused, std::vector<std::uint16_t>{40});

    ASSERT_NE(side.channels.openTransmitChannel(content, *theirs, 41), nullptr);
    side.channels.onOpenReject(h245::buildOpenLogicalChannelReject(41, "dataTypeNotSupported"));
    EXPECT_EQ(side.media.refused, (std::vector<std::uint16_t>{40, 41}));
    EXPECT_EQ(side.find(41, false), nullptr);
    EXPECT_FALSE(side.link.anyTimerRunning()) << "a rejected channel's timer is stopped";
}

TEST(LogicalChannels, TheFarEndsChannelsAreAcceptedRefusedAndReplacedOnePerSession)
{
    Channels side;
    side.channels.onOpen(farEndOpens(5, format::G711ALaw, AudioSessionId));
    ASSERT_EQ(side.link.sent.size(), 1u);
    auto ack = h245::readOpenLogicalChannelAck(side.link.take());
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->number, 5);
    EXPECT_EQ(ack->mediaChannel, portAt(5002)) << "the far end is told where to send";
    EXPECT_EQ(ack->mediaControlChannel, portAt(5003));
    const ChannelState* first = side.find(5, true);
    ASSERT_TRUE(first && first->open);
    EXPECT_EQ(side.media.opened, std::vector<std::uint16_t>{5});
    EXPECT_EQ(side.channels.sessions().at(AudioSessionId)->remoteRtcp, portAt(7001));

    auto rejectCause = [&](const asn::Value& open) {
        side.channels.onOpen(open);
        auto reject = h245::readOpenLogicalChannelReject(side.link.take());
        return reject ? reject->cause : std::string("not a reject");
    };
    EXPECT_EQ(rejectCause(farEndOpens(5, format::G711ALaw, AudioSessionId)), "unspecified")
        << "a number still open";
    h245::LogicalChannel h261;
    h261.number = 6;
    h261.dataType.type = h245::CapabilityType::H261;
    h261.sessionId = VideoSessionId;
    EXPECT_EQ(rejectCause(h245::buildOpenLogicalChannel(h261)), "dataTypeNotSupported");
    side.media.noPorts = true;
    EXPECT_EQ(rejectCause(farEndOpens(7, format::H264Mode1, VideoSessionId)),
              "insufficientBandwidth");
    side.media.noPorts = false;

    // A second channel of the same session replaces the first; its stream closes.
    side.channels.onOpen(farEndOpens(8, format::G722, AudioSessionId));
    EXPECT_EQ(FakeLink::idOf(side.link.take()), h245::MessageId::OpenLogicalChannelAck);
    EXPECT_EQ(side.find(5, true), nullptr);
    EXPECT_TRUE(side.find(8, true));
    ASSERT_EQ(side.media.closed.size(), 1u);
    EXPECT_EQ(side.media.closed[0]->mediaFormat().name(), format::G711ALaw);
    EXPECT_EQ(side.media.leftFastStart, 0);
}

TEST(LogicalChannels, AFarEndLeavingFastStartTakesOurFastStartChannelWithItAndOursReopens)
{
    Channels side;
    side.media.farEndReceives({format::G711uLaw});
    // fastStart opened one channel each way in the audio session.
    for (bool fromRemote : {false, true}) {
        auto channel = std::make_unique<ChannelState>();
        channel->number = fromRemote ? 1 : 2;
        channel->sessionId = AudioSessionId;
        channel->fromRemote = fromRemote;
        channel->open = channel->fastStart = true;
        channel->format = formatNamed(format::G711uLaw);
        side.channels.list().push_back(std::move(channel));
    }
    side.channels.reserveAbove(2);
    side.channels.start();
    EXPECT_TRUE(side.takeOpens().empty()) << "the fastStart channel serves the session";

    side.channels.onOpen(farEndOpens(1, format::G711uLaw, AudioSessionId));
    EXPECT_EQ(side.media.leftFastStart, 1);
    EXPECT_EQ(side.find(2, false), nullptr);
    const auto opens = side.takeOpens();
    ASSERT_EQ(opens.size(), 1u) << "ours is opened again through H.245";
    EXPECT_GT(opens[0].number, 2) << "above every number fastStart used";
    ASSERT_TRUE(side.find(1, true));
    EXPECT_FALSE(side.find(1, true)->fastStart);
}

TEST(LogicalChannels, ClosingByEitherSideAndTheFarEndsRequestToClose)
{
    Channels side;
    side.media.farEndReceives({format::G711uLaw, format::H264Mode1});
    side.channels.start();
    const auto ours = side.takeOpens();
    ASSERT_EQ(ours.size(), 2u);
    side.channels.onOpen(farEndOpens(9, format::G711uLaw, AudioSessionId));
    side.link.sent.clear();

    side.channels.onClose(h245::buildCloseLogicalChannel(9));
    EXPECT_EQ(side.media.closing, std::vector<std::uint16_t>{9});
    EXPECT_EQ(side.find(9, true), nullptr);
    ASSERT_EQ(side.link.sent.size(), 1u);
    EXPECT_EQ(*h245::readChannelNumber(side.link.take()), 9);
    ASSERT_EQ(side.media.closed.size(), 1u);
    side.channels.onClose(h245::buildCloseLogicalChannel(ours[0].number));
    EXPECT_TRUE(side.find(ours[0].number, false)) << "a close names the far end's channels only";
    side.link.sent.clear();

    // A request to close ours is acknowledged and the channel closed...
    side.channels.onRequestClose(h245::buildRequestChannelClose(ours[0].number));
    ASSERT_EQ(side.link.sent.size(), 2u);
    EXPECT_EQ(nameOf(side.link.take()), "requestChannelCloseAck");
    EXPECT_EQ(h245::readCloseLogicalChannel(side.link.take())->number, ours[0].number);
    EXPECT_EQ(side.find(ours[0].number, false), nullptr);
    // ...unless the call handles it itself (our presentation).
    side.media.handledByCall = ours[1].number;
    side.channels.onRequestClose(h245::buildRequestChannelClose(ours[1].number));
    ASSERT_EQ(side.link.sent.size(), 1u);
    EXPECT_TRUE(side.find(ours[1].number, false));

    EXPECT_FALSE(side.channels.closeTransmitChannel(999));
    EXPECT_TRUE(side.channels.closeTransmitChannel(ours[1].number, false));
    EXPECT_EQ(side.link.sent.size(), 1u) << "closed without telling the far end";
    EXPECT_FALSE(side.link.anyTimerRunning());
}

TEST(LogicalChannels, ANewCapabilitySetClosesWhatTheFarEndNoLongerTakesAndOpensWhatItDoes)
{
    Channels side;
    side.media.farEndReceives({format::G722, format::G711uLaw});
    side.channels.start();
    auto opens = side.takeOpens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].dataType.type, h245::CapabilityType::G722);
    h245::LogicalChannelAck ack;
    ack.number = opens[0].number;
    ack.mediaChannel = portAt(6000);
    side.channels.onOpenAck(h245::buildOpenLogicalChannelAck(ack));
    side.link.sent.clear();

    side.media.farEndReceives({format::G711uLaw, format::H264Mode1});
    side.channels.followNewCapabilities();
    ASSERT_FALSE(side.link.sent.empty());
    EXPECT_EQ(h245::readCloseLogicalChannel(side.link.sent.front())->number, opens[0].number);
    opens = side.takeOpens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].dataType.type, h245::CapabilityType::G711Ulaw);
    EXPECT_EQ(opens[1].dataType.type, h245::CapabilityType::H264);

    // The same set again changes nothing.
    side.link.sent.clear();
    side.channels.followNewCapabilities();
    EXPECT_TRUE(side.link.sent.empty());
}

// --- fastStart ---

/// One side of a fastStart call: its channels and its fastStart over them.
struct FastStartSide
{
    explicit FastStartSide(MediaFormatList formats,
                           FastStartNumbering numbering = FastStartNumbering::Proposal)
    {
        side.media.offered = std::move(formats);
        fastStart = std::make_unique<FastStart>(side.channels, side.media, numbering);
    }
    std::vector<const ChannelState*> open() const
    {
        std::vector<const ChannelState*> result;
        for (const auto& channel : side.channels.list())
            if (channel->open)
                result.push_back(channel.get());
        return result;
    }
    Channels side;
    std::unique_ptr<FastStart> fastStart;
};

/// The fastStart field of a Setup or Connect carrying `elements`.
asn::Value fastStartField(const std::vector<std::string>& elements)
{
    asn::Value setup(*h225::findType("Setup-UUIE"));
    asn::Value& list = setup.field("fastStart");
    for (const auto& element : elements)
        list.append().setBytes(element);
    return setup["fastStart"];
}

TEST(FastStart, TheCalledSideTakesOneProposalEachWayInItsOrderAndTheCallerOpensThem)
{
    FastStartSide caller({formatNamed(format::G722), formatNamed(format::G711uLaw),
                          formatNamed(format::H264Mode1), formatNamed(format::H239H264)});
    const auto offers = caller.fastStart->offer();
    ASSERT_EQ(offers.size(), 6u) << "each audio and video format both ways; no content";
    EXPECT_TRUE(caller.open().empty());
    EXPECT_EQ(caller.side.channels.list().size(), 6u);

    FastStartSide called(
        {formatNamed(format::G711ALaw), formatNamed(format::G711uLaw), formatNamed(format::G722)});
    auto withGarbage = offers;
    withGarbage.insert(withGarbage.begin(), std::string("\xff\x00 not an OLC"));
    called.fastStart->remember(fastStartField(withGarbage));
    ASSERT_TRUE(called.fastStart->proposed());
    const auto answers = called.fastStart->answer();
    EXPECT_TRUE(called.fastStart->answered());
    EXPECT_FALSE(called.fastStart->proposed());
    ASSERT_EQ(answers.size(), 2u) << "audio each way; the called side has no video";
    const auto calledOpen = called.open();
    ASSERT_EQ(calledOpen.size(), 2u);
    for (const ChannelState* channel : calledOpen) {
        EXPECT_TRUE(channel->fastStart);
        EXPECT_EQ(channel->format.name(), format::G711uLaw)
            << "A-law comes first for the called side, but the caller did not propose it";
        EXPECT_TRUE(channel->stream);
    }
    const auto* calledSends = calledOpen[0]->fromRemote ? calledOpen[1] : calledOpen[0];
    EXPECT_EQ(calledSends->remoteMedia, portAt(5002)) << "sent where the caller receives";

    EXPECT_TRUE(caller.fastStart->readAnswer(fastStartField(answers)));
    const auto callerOpen = caller.open();
    ASSERT_EQ(callerOpen.size(), 2u);
    EXPECT_EQ(caller.side.channels.list().size(), 2u) << "the other proposals are withdrawn";
    for (const ChannelState* channel : callerOpen) {
        EXPECT_EQ(channel->format.name(), format::G711uLaw);
        EXPECT_EQ(channel->sessionId, AudioSessionId);
        // Each side's channel the other transmits on carries the same number on both.
        const ChannelState* peer = called.side.find(channel->number, !channel->fromRemote);
        EXPECT_TRUE(peer) << "channel " << channel->number;
    }
    const auto* callerSends = callerOpen[0]->fromRemote ? callerOpen[1] : callerOpen[0];
    EXPECT_EQ(callerSends->remoteMedia, portAt(5002));
    EXPECT_GT(called.side.media.changes, 0);
}

TEST(FastStart, OwnNumbersStayAboveEveryProposalAndNothingInCommonAnswersNothing)
{
    FastStartSide caller({formatNamed(format::G711uLaw)});
    const auto offers = caller.fastStart->offer();
    ASSERT_EQ(offers.size(), 2u);

    FastStartSide own({formatNamed(format::G711uLaw)}, FastStartNumbering::Own);
    own.fastStart->remember(fastStartField(offers));
    const auto answers = own.fastStart->answer();
    ASSERT_EQ(answers.size(), 2u);
    for (const ChannelState* channel : own.open()) {
        if (!channel->fromRemote) {
            EXPECT_GT(channel->number, 2) << "our own number, above the proposals";
        }
    }
    EXPECT_GT(own.side.channels.newNumber(), 2) << "H.245 channels come above them too";
    EXPECT_TRUE(caller.fastStart->readAnswer(fastStartField(answers)));
    EXPECT_EQ(caller.open().size(), 2u) << "the caller finds its proposal by session and type";

    FastStartSide video({formatNamed(format::H264Mode1)});
    video.fastStart->remember(fastStartField(offers));
    EXPECT_TRUE(video.fastStart->answer().empty());
    EXPECT_TRUE(video.fastStart->answered());
    EXPECT_TRUE(video.side.channels.list().empty());

    // An answer that accepts nothing, or a call that went on without fastStart, leaves no
    // proposal behind.
    EXPECT_FALSE(caller.fastStart->readAnswer(fastStartField({})));
    FastStartSide refused({formatNamed(format::G711uLaw)});
    refused.fastStart->offer();
    refused.fastStart->refused();
    EXPECT_TRUE(refused.fastStart->answered());
    EXPECT_TRUE(refused.side.channels.list().empty());
}

} // namespace
