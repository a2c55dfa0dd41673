#pragma once

#include <mutex>
#include <string>

#include "voip/media/mediaformat.h"

namespace voip {

/// RTP session numbers the engine uses by default (H.245 sessionID: 1 audio, 2 video,
/// 3 data); further sessions (e.g. H.239 content) take numbers above these.
inline constexpr unsigned AudioSessionId = 1;
inline constexpr unsigned VideoSessionId = 2;
inline constexpr unsigned DataSessionId = 3;
/// Presentation content (H.239): a session number above the standard ones.
inline constexpr unsigned ContentSessionId = 32;

/// Base of every media stream: one direction of one media session of a connection, in
/// one media format.  A source stream produces media (a microphone, a received RTP
/// flow), a sink consumes it (a loudspeaker, an RTP flow sent to the far end).
///
/// open() and close() may be called from any thread; close() is idempotent and runs
/// onClose() exactly once for every successful open().  Derived streams add reading and
/// writing of frames.
class MediaStream
{
public:
    MediaStream(MediaFormat format, unsigned sessionId, bool isSource);
    virtual ~MediaStream();
    MediaStream(const MediaStream&) = delete;
    MediaStream& operator=(const MediaStream&) = delete;

    const MediaFormat& mediaFormat() const { return format_; }
    unsigned sessionId() const { return sessionId_; }
    bool isSource() const { return isSource_; }
    bool isSink() const { return !isSource_; }
    bool isOpen() const;

    /// Opens the stream through onOpen(); false (and still closed) when that fails.
    /// Opening an open stream succeeds without calling onOpen() again.
    bool open();
    /// Closes an open stream through onClose(); nothing when it is not open.
    void close();

    /// Whether what the stream carries travels encrypted on the network.
    virtual bool encrypted() const { return false; }

    /// "G.711-ALaw-64k source session 1", for logs.
    std::string describe() const;

protected:
    /// Called by open() with the stream's lock held; derived streams acquire their
    /// device or socket here.
    virtual bool onOpen() { return true; }
    /// Called by close() with the stream's lock held, once per successful open.
    virtual void onClose() {}

private:
    const MediaFormat format_;
    const unsigned sessionId_;
    const bool isSource_;
    mutable std::mutex mutex_; // guards open_, and serialises onOpen/onClose
    bool open_ = false;
};

} // namespace voip
