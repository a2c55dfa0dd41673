#include "voip/h323/tpktchannel.h"

#include "voip/base/trace.h"

namespace voip::h323 {

TpktChannel::TpktChannel(asio::ip::tcp::socket socket, std::size_t maxPacket)
    : socket_(std::move(socket))
    , splitter_(maxPacket)
{
    asio::error_code error;
    local_ = socket_.local_endpoint(error);
    remote_ = socket_.remote_endpoint(error);
    socket_.set_option(asio::ip::tcp::no_delay(true), error);
}

TpktChannel::~TpktChannel()
{
    asio::error_code error;
    socket_.close(error);
}

void TpktChannel::start(PduHandler onPdu, FailureHandler onFailure)
{
    onPdu_ = std::move(onPdu);
    onFailure_ = std::move(onFailure);
    readMore();
}

void TpktChannel::readMore()
{
    // Two reads into the one buffer would let the second overwrite what the first read
    // before its handler runs: a message lost or cut when two arrive together.
    if (!open_ || !reading_ || readPending_)
        return;
    readPending_ = true;
    socket_.async_read_some(
        asio::buffer(readBuffer_),
        [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
            self->readPending_ = false;
            if (!self->open_ || !self->reading_)
                return;
            if (error) {
                self->fail(error == asio::error::eof ? Failure::Closed : Failure::Reset,
                           error.message());
                return;
            }
            self->splitter_.feed(std::span(self->readBuffer_.data(), count));
            while (self->open_ && self->reading_) {
                auto pdu = self->splitter_.next();
                if (!pdu)
                    break;
                if (!pdu->ok()) {
                    self->fail(Failure::Malformed, pdu->error().toString());
                    return;
                }
                if (pdu->value().empty()) {
                    ++self->keepAlives_; // a keep-alive, as traversal gatekeepers send
                    continue;
                }
                if (self->onPdu_)
                    self->onPdu_(std::move(pdu->value()));
            }
            self->readMore();
        });
}

bool TpktChannel::send(std::span<const std::uint8_t> pdu)
{
    if (!open_ || closing_)
        return false;
    auto framed = q931::tpktFrame(pdu);
    if (!framed)
        return false;
    writeQueue_.push_back(std::move(framed.value()));
    if (!writing_)
        writeNext();
    return true;
}

bool TpktChannel::sendKeepAlive()
{
    return send({});
}

void TpktChannel::writeNext()
{
    if (writeQueue_.empty()) {
        writing_ = false;
        if (closing_)
            close();
        return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writeQueue_.front()),
                      [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                          if (!self->open_)
                              return;
                          if (error) {
                              self->fail(Failure::Reset, error.message());
                              return;
                          }
                          self->writeQueue_.pop_front();
                          self->writeNext();
                      });
}

void TpktChannel::closeAfterSending()
{
    if (!open_)
        return;
    closing_ = true;
    onPdu_ = nullptr;
    onFailure_ = nullptr;
    if (!writing_)
        close();
}

void TpktChannel::close()
{
    if (!open_)
        return;
    open_ = false;
    onPdu_ = nullptr;
    onFailure_ = nullptr;
    writeQueue_.clear();
    asio::error_code error;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, error);
    socket_.close(error);
}

void TpktChannel::fail(Failure failure, const std::string& detail)
{
    auto handler = std::move(onFailure_);
    onPdu_ = nullptr;
    if (failure == Failure::Malformed)
        reading_ = false; // the stream cannot be trusted, but a last answer may still go out
    else
        close();
    if (handler)
        handler(failure, detail);
}

} // namespace voip::h323
