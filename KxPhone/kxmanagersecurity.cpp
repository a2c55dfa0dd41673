// How calls encrypt their media: the policy from the settings, and what the call toolbar and
// the answer prompt say of it.

#include "KxPhone/kxmanager.h"

#include <QCoreApplication>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "voip/media/mediastream.h"

namespace {

QString say(const char* key)
{
    return QCoreApplication::translate("KxManager", key);
}

/// What a channel's session carries, as the user calls it.
QString mediaName(unsigned sessionId)
{
    if (sessionId == voip::AudioSessionId)
        return say("media-audio");
    if (sessionId == voip::VideoSessionId)
        return say("media-video");
    if (sessionId == voip::DataSessionId)
        return say("media-camera-control");
    return say("media-content");
}

} // namespace

void KxManager::applyEncryption()
{
    using voip::h323::MediaEncryption;
    const int stored = kxdefaults::read(*settings_, kxdefaults::NetEncryption);
    const MediaEncryption policy = stored == 0   ? MediaEncryption::Off
                                   : stored == 2 ? MediaEncryption::Required
                                                 : MediaEncryption::WhenPeerCan;
    h323EndPoint_->setMediaEncryption(policy);
}

bool KxManager::arrivesClear(voip::Connection& connection) const
{
    const auto* h323 = dynamic_cast<voip::h323::Connection*>(&connection);
    return h323 && h323->encryption().policy() == voip::h323::MediaEncryption::WhenPeerCan &&
           !h323->encryption().peerOffers();
}

KxManager::CallSecurity KxManager::callSecurity() const
{
    const auto leg = currentH323Leg();
    if (!leg)
        return {};
    QStringList clear;
    bool any = false;
    for (const auto& channel : leg->logicalChannels()) {
        if (!channel.open)
            continue;
        any = true;
        const QString name = mediaName(channel.sessionId);
        if (!channel.encrypted && !clear.contains(name))
            clear << name;
    }
    if (!any)
        return {};
    if (clear.isEmpty())
        return {true, true, say("media-encrypted-tip")};
    const auto& encryption = leg->encryption();
    QString why;
    if (encryption.policy() == voip::h323::MediaEncryption::Off)
        why = say("media-clear-off");
    else if (!encryption.agreed())
        why = say("media-clear-peer");
    else
        why = say("media-clear-some").arg(clear.join(", "));
    return {true, false, why};
}
