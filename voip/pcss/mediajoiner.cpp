#include "voip/pcss/mediajoiner.h"

#include <algorithm>
#include <utility>

#include "voip/base/trace.h"
#include "voip/core/connection.h"
#include "voip/core/manager.h"
#include "voip/media/stream_rtp.h"
#include "voip/rtp/rtpsession.h"

namespace voip::pcss {

namespace {

std::shared_ptr<MediaStream> shared(const Connection& connection, const MediaStream& stream)
{
    for (auto& candidate : connection.mediaStreams())
        if (candidate.get() == &stream)
            return candidate;
    return nullptr;
}

} // namespace

SilenceParams silenceParamsOf(const Manager& manager, unsigned frameMs)
{
    const auto parameters = manager.silenceDetectParameters();
    SilenceParams result;
    switch (parameters.mode) {
    case SilenceDetectMode::None:
        result.mode = SilenceMode::None;
        break;
    case SilenceDetectMode::Fixed:
        result.mode = SilenceMode::Fixed;
        break;
    case SilenceDetectMode::Adaptive:
        result.mode = SilenceMode::Adaptive;
        break;
    }
    result.threshold = parameters.threshold;
    result.signalDeadband = parameters.signalDeadband * frameMs;
    result.silenceDeadband = parameters.silenceDeadband * frameMs;
    result.adaptivePeriod = parameters.adaptivePeriod * frameMs;
    return result;
}

MediaJoiner::~MediaJoiner()
{
    stopAll();
}

bool MediaJoiner::onOpened(Connection& connection, MediaStream& stream)
{
    if (!connection.isNetworkConnection())
        return true; // a local stream: opened by a join below
    auto network = std::dynamic_pointer_cast<FrameStream>(shared(connection, stream));
    if (!network)
        return true; // signalling without media transport: nothing to join
    auto other = connection.otherParty();
    if (!other)
        return true;
    // Received audio plays through the jitter buffer the manager's delays bound.
    if (auto rtp = std::dynamic_pointer_cast<RtpMediaStream>(network);
        rtp && rtp->isSource() && rtp->session() &&
        stream.mediaFormat().mediaType() == MediaType::Audio) {
        const auto jitter = connection.manager().audioJitterDelay();
        rtp->session()->setJitterDelay(std::chrono::milliseconds(jitter.minDelayMs),
                                       std::chrono::milliseconds(jitter.maxDelayMs));
    }
    auto local =
        other->openMediaStream(stream.mediaFormat(), stream.sessionId(), !stream.isSource());
    auto localFrames = std::dynamic_pointer_cast<FrameStream>(local);
    if (!localFrames) {
        // None (video for now), or a stream the application serves through its own
        // callbacks: nothing for a patch to move.
        VOIP_TRACE(3, "Media\tNo local frames for " << stream.describe() << " on "
                                                    << connection.describe());
        return true;
    }

    auto source = stream.isSource() ? network : localFrames;
    auto sink = stream.isSource() ? localFrames : network;
    auto patch = std::make_unique<MediaPatch>(source);
    if (auto status = patch->addSink(sink); !status) {
        VOIP_TRACE(1, "Media\tCannot join " << stream.describe() << ": " << status.error().message);
        other->closeMediaStream(local);
        return true;
    }
    if (!stream.isSource())
        patch->setSilenceDetection(silenceParamsOf(connection.manager()));
    if (auto status = patch->start(); !status) {
        VOIP_TRACE(1,
                   "Media\tCannot start " << stream.describe() << ": " << status.error().message);
        other->closeMediaStream(local);
        return true;
    }
    VOIP_TRACE(3, "Media\tJoined " << stream.describe() << " with " << local->describe());
    {
        std::lock_guard lock(mutex_);
        joins_.push_back(Join{&stream, other, local, std::move(patch)});
    }
    return true;
}

void MediaJoiner::onClosed(Connection&, MediaStream& stream)
{
    std::optional<Join> found;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(joins_.begin(), joins_.end(), [&](const Join& join) {
            return join.networkStream == &stream || join.localStream.get() == &stream;
        });
        if (it == joins_.end())
            return;
        found = std::move(*it);
        joins_.erase(it);
    }
    finish(std::move(*found));
}

void MediaJoiner::finish(Join join)
{
    join.patch->stop();
    if (auto local = join.local.lock())
        local->closeMediaStream(join.localStream);
    else
        join.localStream->close();
}

void MediaJoiner::stopAll()
{
    std::vector<Join> joins;
    {
        std::lock_guard lock(mutex_);
        joins.swap(joins_);
    }
    for (auto& join : joins)
        finish(std::move(join));
}

std::size_t MediaJoiner::activeJoins() const
{
    std::lock_guard lock(mutex_);
    return joins_.size();
}

std::optional<PatchStatistics> MediaJoiner::statistics(const MediaStream& networkStream) const
{
    std::lock_guard lock(mutex_);
    for (const auto& join : joins_)
        if (join.networkStream == &networkStream)
            return join.patch->statistics();
    return std::nullopt;
}

} // namespace voip::pcss
