#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "voip/core/connection.h"
#include "voip/h245/h239.h"
#include "voip/h323/controllink.h"

namespace voip::h323 {

/// What presenting needs of the call besides its H.245 link: the content channels.
class ContentChannels
{
public:
    virtual ~ContentChannels() = default;
    /// Whether the far end takes presentation control and can receive content of ours.
    virtual bool canPresent() const = 0;
    /// A channel number of ours that no channel uses yet.
    virtual std::uint16_t newChannelNumber() = 0;
    /// Starts opening our content channel `number`; false when it cannot be opened.  The
    /// far end's answer comes through PresentationControl::contentOpened/contentRefused.
    virtual bool openContent(std::uint16_t number) = 0;
    /// Closes our content channel `number` if it is open or opening (the far end is told
    /// while the call is up).
    virtual void closeContent(std::uint16_t number) = 0;
    /// Whether a content channel of the far end is open.
    virtual bool remoteContentOpen() const = 0;
    /// Whether we are master: a tie of crossing token requests goes to the master.
    virtual bool master() const = 0;
    /// Whether the call is released: the far end is told nothing more then.
    virtual bool released() const = 0;
    /// Our presentation or the far end's started or stopped.
    virtual void presentationEvent(PresentationEvent event) = 0;
};

/// Presentation control of one call (H.239 over H.245 generic messages): who holds the
/// presentation token, our content channel, and whether the far end presents.
///
/// To present we ask for the token, naming our next channel number and a random
/// symmetry-breaking number; once the far end grants it, the content channel is opened
/// and said active.  Requests that cross go to the higher number, or the master on a tie.
/// The far end presents while it holds the token and has a content channel open, or has
/// said its content channel active.
///
/// Network thread, apart from reserve(), release() and the three state queries.
class PresentationControl
{
public:
    /// `answerTime` is how long the far end may take to answer a token request;
    /// `symmetryNumber` draws our numbers (1..127).
    PresentationControl(ControlLink& link, ContentChannels& channels,
                        std::chrono::milliseconds answerTime,
                        std::function<std::uint8_t()> symmetryNumber);

    /// Marks a presentation of ours as wanted; false when one already is.
    bool reserve();
    /// Gives up a reservation before start() (the call could not take it).
    void release() { wanted_ = false; }

    /// Asks for the token, or reports LocalRefused when the far end cannot take content.
    void start();
    /// Ends our presentation or our request (LocalStopped).
    void stop();

    /// The far end asks for the token: answers it, and gives way unless our own request
    /// wins.  Whether the far end got the token.
    bool onTokenRequest(unsigned channel, unsigned symmetryBreaking, unsigned terminalLabel);
    /// The far end's other presentation messages.
    void onMessage(const h245::H239Message& message);

    /// Whether our content channel `number` waits for the far end's answer.
    bool opening(std::uint16_t number) const;
    /// The far end opened, or refused (or never answered), our content channel `number`.
    void contentOpened(std::uint16_t number);
    void contentRefused(std::uint16_t number);
    /// The far end asks us to close our channel `number`: true when it is our content
    /// channel, which ends the presentation (and closes it).
    bool closeRequested(std::uint16_t number);

    /// A content channel of the far end opened, closed, or was said active or inactive.
    void remoteContentOpened();
    void remoteContentClosed();
    void remoteContentActive(bool active);

    /// From reserve() until our presentation ends or is refused (any thread).
    bool wanted() const { return wanted_.load(); }
    /// While our content channel is open and active (any thread).
    bool presenting() const { return presenting_.load(); }
    /// While the far end presents (any thread).
    bool remotePresenting() const { return remotePresenting_.load(); }

private:
    enum class State
    {
        Idle,
        Requesting, ///< our token request sent
        Opening,    ///< token granted, our content channel being opened
        Presenting,
    };

    void tokenAnswered(const h245::H239Message& response);
    /// Ends our presentation with `event`; the far end hears of it, and of the token
    /// unless `tokenGone`.
    void end(PresentationEvent event, bool tokenGone);
    void setRemotePresenting(bool presenting);

    ControlLink& link_;
    ContentChannels& channels_;
    std::function<std::uint8_t()> symmetryNumber_;
    const std::chrono::milliseconds answerTime_;
    std::unique_ptr<ControlTimer> timer_;
    State state_ = State::Idle;
    std::uint16_t channel_ = 0; ///< our content channel while presenting
    std::uint8_t symmetryBreaking_ = 0;
    bool remoteHoldsToken_ = false;
    std::atomic<bool> wanted_{false};
    std::atomic<bool> presenting_{false};
    std::atomic<bool> remotePresenting_{false};
};

} // namespace voip::h323
