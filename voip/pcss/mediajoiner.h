#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "voip/media/patch.h"

namespace voip {
class Connection;
class Manager;
class MediaStream;
} // namespace voip

namespace voip::pcss {

/// Joins the media of a call's two legs.  When the network leg opens a stream (a logical
/// channel was opened in either direction), the other leg opens the matching stream in the
/// opposite direction and a patch moves the media from the source to the sink through the
/// codecs: received RTP is decoded for the loudspeaker (through a jitter buffer bounded by
/// the manager's jitter delays), the microphone is encoded (with the manager's silence
/// detection) for RTP.  When either stream closes, the patch stops
/// and the partner stream is closed too.
///
/// The PC sound leg hands it the streams the manager's default OnOpenMediaStream and
/// OnClosedMediaStream report (PcssConnection::joinMediaStream and unjoinMediaStream call
/// onOpened and onClosed); both may run on any engine thread but never on a patch's own.
/// `mutex_` guards joins_; it is not held while streams close or patches stop, because
/// closing a stream calls back into onClosed.
class MediaJoiner
{
public:
    MediaJoiner() = default;
    ~MediaJoiner();
    MediaJoiner(const MediaJoiner&) = delete;
    MediaJoiner& operator=(const MediaJoiner&) = delete;

    /// A stream of `connection` has opened.  For a network leg's stream that carries
    /// frames, opens the partner on the other leg and starts a patch; a stream the other
    /// leg has no partner for (video for now), or whose partner the application serves
    /// itself (media through callbacks), stays unjoined.  Returns false only when the
    /// stream is unusable (the caller should then refuse it); a failed local device is
    /// logged and the call goes on without that direction.
    bool onOpened(Connection& connection, MediaStream& stream);
    /// A stream of either leg has closed: stops its patch and closes the partner.
    void onClosed(Connection& connection, MediaStream& stream);

    /// Stops every patch (shut-down).
    void stopAll();

    /// Patches running now.
    std::size_t activeJoins() const;
    /// The counters of the patch whose network stream is `stream`; empty when none.
    std::optional<PatchStatistics> statistics(const MediaStream& networkStream) const;

private:
    struct Join
    {
        const MediaStream* networkStream = nullptr;
        std::weak_ptr<Connection> local;
        std::shared_ptr<MediaStream> localStream;
        std::unique_ptr<MediaPatch> patch;
    };
    void finish(Join join);

    mutable std::mutex mutex_; // guards joins_
    std::vector<Join> joins_;
};

/// The manager's silence-detection parameters as a patch takes them: deadbands and the
/// adaptive period count frames of `frameMs`.
SilenceParams silenceParamsOf(const Manager& manager, unsigned frameMs = 20);

} // namespace voip::pcss
