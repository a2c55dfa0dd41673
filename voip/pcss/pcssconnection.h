#pragma once

#include <memory>
#include <string>

#include "voip/core/connection.h"
#include "voip/pcss/soundstream.h"

namespace voip::h224 {
class H224Handler;
class FeccHandler;
} // namespace voip::h224

namespace voip::pcss {

class PcssEndPoint;

/// The PC sound endpoint's leg of one call: it stands for this terminal's user (accept or
/// reject an incoming call through the endpoint), makes the local media streams and joins
/// them with the network leg's (the manager's default stream callbacks ask it to).
///
/// Threads: created on the call's thread; createMediaStream runs on the thread that opens
/// the stream (the network side's); setAudioDevice on any thread.
class PcssConnection : public Connection
{
public:
    PcssConnection(const std::shared_ptr<Call>& call, PcssEndPoint& endpoint, std::string address,
                   std::string playDevice, std::string recordDevice, StringOptions options = {});
    ~PcssConnection() override;

    PcssEndPoint& pcssEndpoint() const { return pcss_; }
    bool isNetworkConnection() const override { return false; }
    bool setUpConnection() override { return true; }
    void onRelease(EndReason) override {}

    /// Joins a network leg's stream with this leg's sound through the endpoint's
    /// MediaJoiner; a stream the application serves itself (media through callbacks)
    /// stays unjoined.
    bool joinMediaStream(Connection& network, MediaStream& stream) override;
    void unjoinMediaStream(Connection& owner, MediaStream& stream) override;

    const std::string& playDevice() const { return playDevice_; }
    const std::string& recordDevice() const { return recordDevice_; }
    unsigned soundChannelBufferCount() const { return bufferCount_; }
    unsigned soundChannelBufferTime() const { return bufferTimeMs_; }

    /// Moves the running audio of one direction (isSource: the microphone) to `device` of
    /// the endpoint's driver: a channel is opened on the new device and takes the place
    /// of the old one in the stream.  False, with the old channel still in use, when the
    /// name is unknown, the device does not open or there is no such stream.
    bool setAudioDevice(bool isSource, const std::string& device, unsigned sessionId = 0);
    /// The sound stream of one direction of the audio session, or null.
    std::shared_ptr<SoundStream> soundStream(bool isSource, unsigned sessionId = 0) const;

    /// Far-end camera control of this call, made with the connection; its streams open
    /// with the call's H.224 channels.
    std::shared_ptr<h224::H224Handler> h224Handler() const { return h224_; }
    std::shared_ptr<h224::FeccHandler> feccHandler() const { return fecc_; }

protected:
    /// Audio: a SoundStream on the endpoint's sound-channel factory, unless the endpoint
    /// takes media through application callbacks (then a plain stream the application
    /// serves).  Video: the endpoint's video input encoded (none without one) and what is
    /// received decoded into the endpoint's video output.  H.224: the streams of the
    /// connection's H.224 handler.
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override;
    virtual std::shared_ptr<MediaStream> createVideoStream(const MediaFormat& format,
                                                           unsigned sessionId, bool isSource);
    virtual std::shared_ptr<MediaStream> createH224Stream(const MediaFormat& format,
                                                          unsigned sessionId, bool isSource);

    /// Makes the video source stream of `sessionId` send a key frame next.
    void OnVideoUpdateRequested(unsigned sessionId) override;
    /// Makes the video source stream of `sessionId` follow the far end's bit rate.
    void OnMediaFlowControl(unsigned sessionId, std::uint64_t bitsPerSecond) override;
    void OnMediaPathRate(unsigned sessionId, std::uint64_t bitsPerSecond) override;

    void setH224Handler(std::shared_ptr<h224::H224Handler> handler) { h224_ = std::move(handler); }
    void setFeccHandler(std::shared_ptr<h224::FeccHandler> handler) { fecc_ = std::move(handler); }

private:
    PcssEndPoint& pcss_;
    const std::string playDevice_;
    const std::string recordDevice_;
    const unsigned bufferCount_;
    const unsigned bufferTimeMs_;
    std::shared_ptr<h224::H224Handler> h224_;
    std::shared_ptr<h224::FeccHandler> fecc_;
};

} // namespace voip::pcss
