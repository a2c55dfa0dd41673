#include "voip/h323/userinput.h"

#include "voip/h245/message.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

UserInput::UserInput(ControlLink& link, UserInputMode mode,
                     std::function<void(const std::string&)> received)
    : link_(link)
    , mode_(mode)
    , received_(std::move(received))
{}

UserInputMode UserInput::modeFor(const h245::CapabilitySet& peer) const
{
    bool alphanumeric = false;
    bool signal = false;
    for (const auto& capability : peer.capabilities) {
        if (capability.type != h245::CapabilityType::UserInput ||
            capability.direction == h245::CapabilityDirection::Transmit)
            continue;
        const auto& name = capability.userInputName;
        if (name == f245::basicString || name == f245::iA5String || name == f245::generalString ||
            name == f245::extendedAlphanumeric)
            alphanumeric = true;
        else if (name == f245::dtmf)
            signal = true;
    }
    // Send only what the far end said it receives; a peer that says nothing gets ours.
    if (mode_ == UserInputMode::Alphanumeric && !alphanumeric && signal)
        return UserInputMode::Signal;
    if (mode_ == UserInputMode::Signal && !signal && alphanumeric)
        return UserInputMode::Alphanumeric;
    return mode_;
}

void UserInput::send(const std::string& value, const h245::CapabilitySet& peer)
{
    if (modeFor(peer) == UserInputMode::Alphanumeric) {
        h245::UserInput input;
        input.text = value;
        link_.send(h245::buildUserInputIndication(input));
        return;
    }
    for (const char c : value) {
        h245::UserInput input;
        input.kind = h245::UserInputKind::Signal;
        input.text = std::string(1, c);
        auto message = h245::buildUserInputIndication(input);
        if (message.present())
            link_.send(message);
    }
}

void UserInput::onIndication(const asn::Value& message)
{
    auto input = h245::readUserInputIndication(message);
    if (input && !input->text.empty() &&
        (input->kind == h245::UserInputKind::Alphanumeric ||
         input->kind == h245::UserInputKind::ExtendedAlphanumeric ||
         input->kind == h245::UserInputKind::Signal) &&
        received_)
        received_(input->text);
}

} // namespace voip::h323
