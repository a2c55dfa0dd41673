#pragma once

#include "voip/base/result.h"
#include "voip/h235/mediacipher.h"
#include "voip/rtp/jitterbuffer.h"
#include "voip/rtp/lossrepair.h"
#include "voip/rtp/pacer.h"
#include "voip/rtp/rateadapter.h"
#include "voip/rtp/rtcp.h"
#include "voip/rtp/rtppacket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

namespace voip::rtp {

/// Where and how a session opens its sockets and plays what it receives.
struct SessionConfig
{
    /// Interface to bind (any, a loopback, an IPv4 or IPv6 address).
    asio::ip::address localAddress = asio::ip::address_v4::any();
    /// UDP range for the pair: RTP on an even port, RTCP on the next one.  A base
    /// of 0 lets the system choose (an even port with a free neighbour).
    uint16_t portBase = 0;
    uint16_t portMax = 0;
    std::string cname = "kestrovia";
    /// The name the statistics carry ("G.711-ALaw-64k", ...).
    std::string mediaFormat;
    JitterConfig jitter;
    /// Off for streams that want every packet at once (video, H.224): they use
    /// the packet handler only.
    bool useJitterBuffer = true;
    /// RFC 3550 6.2 report interval (5 s); the first report goes at half of it.
    std::chrono::milliseconds rtcpInterval{5000};
    /// The interval of a stream whose sender steers by the reports (video): twice a
    /// second, a few hundred bit/s.
    static constexpr std::chrono::milliseconds SteeringRtcpInterval{500};
    /// A stream that has received nothing for this long is reported silent.
    std::chrono::milliseconds noMediaTimeout{10000};
    /// Lost packets are repaired by sending them again: what is sent is kept a while and
    /// sent again when the far end asks (RTCP generic NACK), and a gap in what arrives is
    /// asked for at once.  Far ends that do not know the ask ignore it.
    bool repairLoss = false;
};

/// Figures of one direction of a stream.  The rate byte count and the frame
/// count cover the span `timeBase` (a sliding window of a few seconds), so that
/// bytes x 8 / ms is a bit rate in kbit/s and frames / s a frame rate.
struct StreamStatistics
{
    std::string mediaFormat;
    std::chrono::milliseconds timeBase{0};
    uint64_t rateByteCount = 0;
    uint32_t frameCount = 0;
    uint64_t totalBytes = 0;
    uint64_t packets = 0;
    uint64_t totalFrames = 0;
    uint32_t packetsLost =
        0; ///< RFC 3550 A.3 cumulative loss (receive); as reported by the peer (transmit)
    uint32_t jitterMs =
        0; ///< RFC 3550 A.8 interarrival jitter (receive); as reported by the peer (transmit)
    uint32_t latencyMs = 0; ///< round trip from RTCP LSR/DLSR, 0 until measured
    bool encrypted = false; ///< the payloads travel AES-128 encrypted
    /// Transmit, when the rate follows the far end's reports: the rate they allow (bit/s),
    /// and why.
    uint32_t allowedBitRate = 0;
    RateReason rateReason = RateReason::Start;
};

/// Datagrams not taken as media, counted by reason.
struct DropCounters
{
    uint64_t tooShort = 0;
    uint64_t badVersion = 0;
    uint64_t csrcBeyondPacket = 0;
    uint64_t extensionBeyondPacket = 0;
    uint64_t paddingBeyondPacket = 0;
    uint64_t unexpectedSource = 0;
    uint64_t rtcpOnRtpPort = 0; ///< RTCP multiplexed on the RTP port (RFC 5761), not asked for
    uint64_t undecryptable = 0; ///< on an encrypted channel, a packet its key cannot decrypt
    uint64_t rtcpMalformed = 0;
    uint64_t rtcpUnexpectedSource = 0;
    /// Report blocks about our stream with an impossible jitter or loss, not taken.
    uint64_t rtcpImpossibleReports = 0;

    uint64_t total() const
    {
        return tooShort + badVersion + csrcBeyondPacket + extensionBeyondPacket +
               paddingBeyondPacket + unexpectedSource + rtcpOnRtpPort + undecryptable;
    }
};

struct SessionStatistics
{
    StreamStatistics transmit;
    StreamStatistics receive;
    DropCounters drops;
    JitterStatistics jitterBuffer;
    uint64_t rtcpSent = 0;
    uint64_t rtcpReceived = 0;
    uint64_t roundTripMeasurements = 0;
    double roundTripMs = 0; ///< the last measured round trip, unrounded
    bool remoteBye = false;
    uint64_t repairsAsked = 0; ///< packets we asked the far end to send again
    uint64_t repairsSent = 0;  ///< packets we sent again as the far end asked
};

/// State of the receive direction, reported through the state handler.
enum class ReceiveState
{
    Waiting, ///< nothing received yet
    Receiving,
    Silent, ///< nothing for the no-media timeout
};

/// One RTP/RTCP session: a UDP socket pair, our SSRC and sequence numbers for what
/// we send, the receive checks, a jitter buffer, RTCP reports and statistics.
///
/// Threads: each session runs its own I/O thread (one `asio::io_context`) for
/// receiving, RTCP and the no-media check; handlers run on it.  `send`,
/// `readFrame`, `statistics` and the setters may be called from any thread.
/// `stop` (also run by the destructor) sends a BYE, closes both sockets and joins
/// the thread.  A handler may call `stop`, but must not destroy the session.
class RtpSession
{
public:
    using Clock = std::chrono::steady_clock;
    using PacketHandler = std::function<void(const MediaFrame&)>;
    using StateHandler = std::function<void(ReceiveState)>;

    /// The session, or why it could not be opened.
    using OpenResult = base::Result<std::unique_ptr<RtpSession>, std::string>;

    /// Binds the socket pair on the first free even port of the range and starts
    /// the I/O thread.  Fails with a message when no pair in the range is free.
    static OpenResult open(const SessionConfig& config);

    ~RtpSession();
    RtpSession(const RtpSession&) = delete;
    RtpSession& operator=(const RtpSession&) = delete;

    asio::ip::address localAddress() const { return localAddress_; }
    uint16_t localRtpPort() const { return rtpPort_; }
    uint16_t localRtcpPort() const { return static_cast<uint16_t>(rtpPort_ + 1); }
    uint32_t ssrc() const { return ssrc_; }

    /// The far end's addresses, known from signalling.  Packets are sent there;
    /// received RTP from another source is taken only while the signalled one is
    /// silent (see the class comment in the source).
    void setRemote(const asio::ip::address& address, uint16_t rtpPort, uint16_t rtcpPort);

    /// Sends one payload with our SSRC and the next sequence number.  Returns
    /// false when the session is stopped, no remote is set or the send failed.
    bool send(std::span<const uint8_t> payload, uint32_t timestamp, bool marker,
              uint8_t payloadType);

    /// Sends `datagram` as it is from the RTP socket (or the RTCP socket) to `to`: the
    /// keep-alives that open a NAT's way from a media relay.  False when the session is
    /// stopped or the send failed.  Any thread.
    bool sendRaw(std::span<const uint8_t> datagram, const asio::ip::udp::endpoint& to, bool rtcp);
    /// The next received frame whose playout time has come (jitter buffer).
    std::optional<MediaFrame> readFrame(Clock::time_point now = Clock::now());
    /// When the first held frame is due (a reader may sleep until then).
    std::optional<Clock::time_point> nextPlayout() const;

    /// Called on the I/O thread for every accepted RTP packet, before the jitter
    /// buffer (its playout time is not set).  Without a jitter buffer, packets that came
    /// before a handler was set (the far end started first: a fastStart channel's first
    /// key frame) are held, at most EarlyPackets of them and none older than EarlyAge,
    /// and handed to the first handler in order, on the I/O thread, before any later one.
    void setPacketHandler(PacketHandler handler);
    static constexpr std::size_t EarlyPackets = 256;
    static constexpr std::chrono::milliseconds EarlyAge{2000};
    /// Whether received packets go through the jitter buffer (readFrame) or only to the
    /// packet handler.
    bool usesJitterBuffer() const { return config_.useJitterBuffer; }
    void setStateHandler(StateHandler handler);
    /// Told, on the I/O thread, when the far end's reports say more of our packets were
    /// lost since its last report than we sent again at its asking meanwhile (how many
    /// more): loss that repair did not mend.
    using LossHandler = std::function<void(uint32_t newlyLost)>;
    void setLossHandler(LossHandler handler);
    /// Steers what we send by the far end's reports (a RateAdapter), starting at and never
    /// above `ceiling` (bit/s); told, on the I/O thread, each time the allowed rate changes.
    using RateHandler = std::function<void(uint32_t bitRate, RateReason reason)>;
    void adaptSendRate(uint32_t ceiling, RateHandler handler);
    /// Told, on the I/O thread, with each report we send of the far end's stream: the
    /// fraction of its packets lost since the report before, and the rate that arrived
    /// (bit/s).
    using ArrivalHandler = std::function<void(double fractionLost, double arrivedBitRate)>;
    void setArrivalHandler(ArrivalHandler handler);
    ReceiveState receiveState() const;
    /// How long a missing packet is worth waiting for: the time a repair takes, with
    /// repairLoss; the shortest reordering wait without.
    std::chrono::milliseconds repairWait() const { return repairWait_; }

    void setMediaFormat(const std::string& name);
    /// The RTP clock rate of what the session carries (90000 for video, 8000 for G.711):
    /// the receive jitter, the far end's jitter figure and our sender reports' timestamps
    /// are counted in it.  Any thread.
    void setClockRate(uint32_t clockRate);
    void setJitterDelay(std::chrono::milliseconds minDelay, std::chrono::milliseconds maxDelay);
    void setPayloadBytesPerMs(double bytesPerMs);
    /// Encrypts what is sent with `key` from the next packet on, marked with `payloadType`
    /// (the payload type the far end was given with the key); nothing leaves clear after.
    void setSendKey(const h235::Key& key, uint8_t payloadType);
    /// Decrypts the packets marked `payloadType` with `key`.  The newest two keys are kept,
    /// so that packets still in flight under the old one when a key is renewed play; they
    /// all reach the stream as `mediaPayloadType`.  Once a key is set, a packet of another
    /// payload type (clear media from a far end that said it would encrypt) or one that
    /// cannot be decrypted is dropped and counted, never played.
    void addReceiveKey(const h235::Key& key, uint8_t payloadType, uint8_t mediaPayloadType);
    /// Whether each direction is encrypted.
    bool sendsEncrypted() const;
    bool receivesEncrypted() const;

    SessionStatistics statistics() const;

    /// Sends a BYE, closes the sockets and ends the I/O thread.  Idempotent.
    void stop();

private:
    struct Window
    {
        Clock::time_point time;
        uint64_t bytes = 0;
        uint64_t frames = 0;
    };
    struct Direction
    {
        uint64_t bytes = 0;
        uint64_t packets = 0;
        uint64_t frames = 0;
        std::optional<uint32_t> lastTimestamp;
        std::deque<Window> windows;
        void count(std::size_t size, uint32_t timestamp, Clock::time_point now);
        void fill(StreamStatistics& s, Clock::time_point now) const;
    };
    /// RFC 3550 A.1/A.3/A.8 state for the source we receive.
    struct Source
    {
        bool valid = false;
        uint32_t ssrc = 0;
        uint16_t maxSequence = 0;
        uint32_t cycles = 0;
        uint32_t baseSequence = 0;
        uint64_t received = 0;
        uint64_t expectedPrior = 0;
        uint64_t receivedPrior = 0;
        double transit = 0;
        double jitter = 0; ///< in timestamp units
        bool haveTransit = false;
        uint32_t lastSenderReport = 0;
        Clock::time_point lastSenderReportArrival;
    };

    explicit RtpSession(const SessionConfig& config);
    /// Binds the socket pair; why not, when no pair is free.
    base::Status<std::string> bind();
    void start();
    void receiveRtp();
    void receiveRtcp();
    void onRtp(std::size_t size);
    void onRtcp(std::size_t size);
    /// What a compound RTCP packet said of our stream, for the handlers to hear.
    struct ReportNews
    {
        uint32_t newlyLost = 0;
        LossHandler lossHandler;
        std::optional<uint32_t> allowedRate;
        RateReason rateReason = RateReason::Start;
        RateHandler rateHandler;
        std::vector<uint16_t> resend; ///< what the far end asks to be sent again
    };
    /// Sends again what the far end asked for and is still kept.
    void resend(std::span<const uint16_t> sequences);
    /// Asks the far end at once for the packets of `mediaSsrc` a gap shows missing.
    void askRepair(uint32_t mediaSsrc, std::span<const uint16_t> sequences);
    /// After an outage: our report goes at once (one each EarlyReportSpacing at most), so
    /// that the far end learns of the loss and sends a new picture without being asked.
    void reportOutage();
    static constexpr std::chrono::milliseconds EarlyReportSpacing{250};
    /// Reads a compound RTCP packet under the lock.
    ReportNews takeReports(std::size_t size);
    /// Gives one report block about our stream to the rate adapter, if any.
    void adaptRate(const ReportBlock& block, std::optional<double> roundTripMs,
                   std::optional<double> arrived, Clock::time_point now, ReportNews& news);
    void scheduleRtcp(bool first);
    void sendReport(bool bye, bool outage = false);
    void scheduleMediaCheck();
    /// Paces what we send at `bitRate` (0: not at all).
    void pace(uint32_t bitRate);
    /// Waits for when the pacer's next datagram is due, then sends what is (sendMutex_
    /// held).
    void armPacer();
    /// Where our RTP goes now, if anywhere.
    std::optional<asio::ip::udp::endpoint> remoteRtp() const;
    /// Sends each of `datagrams` as it is, lost or not (sendMutex_ held).
    void sendAll(const std::vector<std::vector<uint8_t>>& datagrams,
                 const asio::ip::udp::endpoint& to);
    void setState(ReceiveState state);
    bool acceptSource(const asio::ip::udp::endpoint& from);
    void updateSource(const RtpPacketView& packet, Clock::time_point now);
    /// What we tell the far end of its stream: the fraction lost since the report before,
    /// and with loss, what arrived of it (bit/s).
    std::vector<uint8_t> buildReport(bool bye, std::optional<double>& fractionLost,
                                     double arrivedBitRate);

    SessionConfig config_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::ip::udp::socket rtpSocket_;
    asio::ip::udp::socket rtcpSocket_;
    asio::steady_timer rtcpTimer_;
    asio::steady_timer mediaTimer_;
    asio::steady_timer paceTimer_;
    std::thread thread_;
    asio::ip::address localAddress_;
    uint16_t rtpPort_ = 0;
    uint32_t ssrc_ = 0;
    JitterBuffer jitter_;

    // Used only on the I/O thread.
    std::vector<uint8_t> rtpBuffer_;
    std::vector<uint8_t> rtcpBuffer_;
    asio::ip::udp::endpoint rtpFrom_;
    asio::ip::udp::endpoint rtcpFrom_;

    /// Guards the send counters and the sockets against close during a send.
    mutable std::mutex sendMutex_;
    bool closed_ = false;
    uint16_t sequence_ = 0;
    uint32_t lastSentTimestamp_ = 0;
    Clock::time_point lastSentTime_;
    bool sentSinceReport_ = false;
    std::vector<uint8_t> sendBuffer_;
    std::optional<SentHistory> history_; ///< with repairLoss
    Pacer pacer_;                        ///< paces only when the rate adapts
    std::optional<Clock::time_point> paceDue_; ///< when paceTimer_ fires
    std::unique_ptr<h235::MediaCipher> sendCipher_;
    uint8_t sendKeyPayloadType_ = 0;

    /// Guards the receiving ciphers (used on the I/O thread, set from any).
    struct ReceiveKey
    {
        std::unique_ptr<h235::MediaCipher> cipher;
        uint8_t payloadType = 0;
    };
    mutable std::mutex receiveCipherMutex_;
    std::vector<ReceiveKey> receiveKeys_; // newest last, two at most
    uint8_t receivePayloadType_ = 0;      // what decrypted packets are given
    std::vector<uint8_t> decrypted_; // the I/O thread's

    /// Guards everything below.  When both are needed, sendMutex_ is taken first.
    mutable std::mutex mutex_;
    std::optional<asio::ip::udp::endpoint> remoteRtp_;
    std::optional<asio::ip::udp::endpoint> remoteRtcp_;
    std::optional<asio::ip::udp::endpoint> latched_;
    bool latchedToSignalled_ = false;
    Source source_;
    Direction sent_;
    Direction received_;
    DropCounters drops_;
    StreamStatistics peerView_; ///< loss and jitter of our stream, from the peer's reports
    std::string mediaFormat_;
    uint64_t rtcpSent_ = 0;
    uint64_t rtcpReceived_ = 0;
    uint64_t roundTrips_ = 0;
    double roundTripMs_ = 0;
    bool remoteBye_ = false;
    ReceiveState state_ = ReceiveState::Waiting;
    Clock::time_point lastReceived_;
    Clock::time_point started_;
    PacketHandler packetHandler_;
    std::deque<MediaFrame> early_; ///< before any handler was set (no jitter buffer)
    bool handlerEverSet_ = false;
    bool handOverPending_ = false; ///< the first handler takes the held packets soon
    StateHandler stateHandler_;
    LossHandler lossHandler_;
    struct Adaptation
    {
        RateAdapter adapter;
        RateHandler handler;
        Clock::time_point timeAtReport;
        /// The far end's count of what it received, at its report before.
        std::optional<int64_t> receivedAtReport;
        /// Since the report before: what we sent, and what the far end asked to have sent
        /// again (loss it saw, which the repair hides from its report).
        uint64_t sentAtReport = 0;
        uint64_t bytesAtReport = 0;
        uint64_t asked = 0;
    };
    std::optional<Adaptation> adaptation_;
    GapWatch gaps_; ///< with repairLoss
    uint64_t repairsAsked_ = 0;
    uint64_t repairsAskedAtReport_ = 0;
    std::atomic<std::chrono::milliseconds> repairWait_{GapWatch::Shortest};
    uint64_t repairsSent_ = 0;
    uint64_t repairsSentAtReport_ = 0;  ///< when the far end's last report came
    Clock::time_point lastEarlyReport_; ///< the I/O thread's
    ArrivalHandler arrivalHandler_;
    uint64_t arrivedAtReport_ = 0; ///< received octets when the last report went
    Clock::time_point arrivalReported_;

    std::atomic<bool> stopped_{false};
};

} // namespace voip::rtp
