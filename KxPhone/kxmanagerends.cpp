// What a finished call leaves: its record in the history and the words the user is told,
// named from the contacts as they are at its end.

#include "KxPhone/kxmanager.h"

#include <iostream>
#include <optional>

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

#include "KxPhone/kxmanagersignals.h"
#include "KxPhone/kxphrasebook.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "voip/core/call.h"
#include "voip/h323/dialaddress.h"

namespace {

/// The text between the first "[" and the "]" after it; empty without brackets.
QString bracketed(const QString& party)
{
    const int open = party.indexOf('[');
    if (open < 0)
        return {};
    const int close = party.indexOf(']', open + 1);
    return close < 0 ? QString() : party.mid(open + 1, close - open - 1);
}

/// The text before the first "[" (all of it without brackets), trimmed.
QString nameBeforeBracket(const QString& party)
{
    const int open = party.indexOf('[');
    return (open < 0 ? party : party.left(open)).trimmed();
}

/// "m:ss", or "h:mm:ss" from an hour on.
QString lengthText(std::chrono::seconds length)
{
    const qint64 total = std::max<qint64>(0, length.count());
    const qint64 hours = total / 3600;
    const QString minutesAndSeconds = QString("%1:%2")
                                          .arg(total / 60 % 60, hours ? 2 : 1, 10, QChar('0'))
                                          .arg(total % 60, 2, 10, QChar('0'));
    return hours ? QString::number(hours) + ":" + minutesAndSeconds : minutesAndSeconds;
}

/// Why a call ended, in words a user can act on.
QString reasonText(voip::EndReason reason, unsigned cause)
{
    using voip::EndReason;
    const char* key = nullptr;
    switch (reason) {
    case EndReason::ConnectFail:
        key = "why-nobody-listening";
        break;
    case EndReason::NameNotFound:
        key = "why-name-not-found";
        break;
    case EndReason::RemoteBusy:
    case EndReason::LocalBusy:
        key = "why-busy";
        break;
    case EndReason::NoAnswer:
        key = "why-no-answer";
        break;
    case EndReason::Refusal:
    case EndReason::AnswerDenied:
    case EndReason::NoAccept:
        key = "why-refused";
        break;
    case EndReason::TemporaryFailure:
        key = "why-temporary";
        break;
    case EndReason::Unreachable:
    case EndReason::NoEndPoint:
        key = "why-unreachable";
        break;
    case EndReason::HostOffline:
    case EndReason::OutOfService:
        key = "why-offline";
        break;
    case EndReason::NoUser:
        key = "why-no-user";
        break;
    case EndReason::Gatekeeper:
    case EndReason::GatekeeperAdmissionFailed:
        key = "why-gatekeeper";
        break;
    case EndReason::CapabilityExchange:
        key = "why-no-common-media";
        break;
    case EndReason::SecurityDenial:
    case EndReason::CertificateAuthority:
        key = "why-security";
        break;
    case EndReason::TransportFail:
    case EndReason::MediaTransportFail:
        key = "why-connection-lost";
        break;
    case EndReason::NoBandwidth:
    case EndReason::LocalCongestion:
    case EndReason::RemoteCongestion:
        key = "why-no-resources";
        break;
    case EndReason::MediaFailed:
        key = "why-media-failed";
        break;
    case EndReason::IllegalAddress:
        key = "why-bad-address";
        break;
    case EndReason::DurationLimit:
        key = "why-time-limit";
        break;
    default:
        break;
    }
    if (key)
        return QCoreApplication::translate("KxManager", key);
    // The rest are rare: the engine's own words, with the far end's cause when it gave one.
    QString text = QString::fromUtf8(voip::endReasonText(reason).data(),
                                     int(voip::endReasonText(reason).size()));
    if (cause)
        text += " (Q.931 " + QString::number(cause) + ")";
    return text;
}

} // namespace

QString KxManager::shortened(const QString& text, int length)
{
    return text.size() <= length ? text : text.left(length - 3) + "...";
}

KxManager::CallEnd KxManager::callEndOf(voip::Call& call) const
{
    CallEnd end;
    end.incoming = call.isNetworkOriginated();
    // Answered counts, even when cleared before the call got as far as established (a
    // hang-up crossing the answer).
    end.established = call.isEstablished() || call.wasAnswered();
    end.reason = call.endReason();
    end.cause = call.endCause();
    end.start = call.startTime();
    const QString party = QString::fromStdString(end.incoming ? call.partyA() : call.partyB());
    end.partyAddress = bracketed(party);
    end.partyName = nameBeforeBracket(party);
    if (end.partyName == end.partyAddress)
        end.partyName.clear(); // the engine shows the address where the far end gave no name
    std::lock_guard lock(stateMutex_);
    end.dialled = policy_.dialledAddress;
    if (!end.incoming)
        end.target = currentTarget_;
    return end;
}

QString KxManager::nameForAddress(const QString& address) const
{
    if (!context_.contacts || address.isEmpty())
        return address;
    // A contact names an address as a whole: host and port (1720 when none is written)
    // and alias alike.  The same host at another port, or another alias there, is another
    // system: it keeps its own name.
    const auto key = [](const QString& text) -> std::optional<voip::h323::DialAddress> {
        auto parsed = voip::h323::parseDialAddress(text.trimmed().toStdString());
        if (parsed) {
            std::transform(parsed->host.begin(), parsed->host.end(), parsed->host.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
        }
        return parsed;
    };
    const auto wanted = key(address);
    for (const auto& contact : context_.contacts->contacts()) {
        if (contact.name.isEmpty())
            continue;
        if (contact.ip.trimmed() == address.trimmed())
            return contact.name;
        const auto known = key(contact.ip);
        if (wanted && known && known->host == wanted->host && known->port == wanted->port &&
            known->alias == wanted->alias)
            return contact.name;
    }
    return address;
}

Recent KxManager::recentFor(const CallEnd& end) const
{
    Recent recent;
    // A call that never connected is a failure whoever ended it.
    const bool success =
        end.established && !end.turnedAway &&
        (end.reason == voip::EndReason::LocalUser || end.reason == voip::EndReason::RemoteUser);
    recent.status = success ? "success" : "failure";
    if (!success)
        recent.reason = QString::number(voip::toNumber(end.reason)) +
                        (end.cause ? ":" + QString::number(end.cause) : QString());
    recent.flow = end.incoming ? "incoming" : "outgoing";
    recent.ip = end.incoming ? end.partyAddress : end.dialled;
    // The contact of that address, as the contacts are now; else what the far end calls
    // itself; else the address.
    recent.name = nameForAddress(recent.ip);
    if (recent.name == recent.ip && !end.partyName.isEmpty())
        recent.name = end.partyName;
    if (recent.name.isEmpty())
        recent.name = "*";
    const auto start = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(end.start.time_since_epoch())
            .count());
    recent.time = start.toLocalTime().toString("dd/MM/yy hh:mm");
    // How long the two were connected: ringing is no part of a call's length.
    const qint64 seconds = end.established ? qint64(end.connected.count()) : 0;
    recent.duration = QString::number(seconds / 60);
    recent.seconds = QString::number(seconds);
    recent.protocol = "H.323";
    return recent;
}

QString KxManager::failureText(const QString& stored)
{
    // Written by an older or newer client, or edited by hand: an unknown reason says nothing.
    bool ok = false;
    const auto reason = voip::endReasonFromNumber(stored.section(':', 0, 0).toInt(&ok));
    if (!ok || !reason)
        return {};
    return reasonText(*reason, stored.section(':', 1, 1).toUInt());
}

QString KxManager::noticeFor(const CallEnd& end, const QString& name) const
{
    const auto tr = [](const char* key) { return QCoreApplication::translate("KxManager", key); };
    QString who = shortened(name);
    if (!end.incoming && !end.target.isEmpty() && end.target != end.dialled)
        who = tr("sent-on-to").arg(who, shortened(end.target));
    if (end.turnedAway)
        return tr("missed-call-busy").arg(who);
    if (end.incoming && !end.established) {
        // The user's own decline needs no word; a caller who gave up is a missed call.
        const bool declined =
            end.reason == voip::EndReason::AnswerDenied || end.reason == voip::EndReason::NoAccept;
        return declined ? QString() : tr("missed-call").arg(who);
    }
    if (end.established) {
        const QString length = lengthText(end.connected);
        if (end.reason == voip::EndReason::LocalUser)
            return tr("call-ended").arg(who, length);
        if (end.reason == voip::EndReason::RemoteUser)
            return tr("call-ended-by-far-end").arg(who, length);
        return tr("call-ended-because").arg(who, length, reasonText(end.reason, end.cause));
    }
    if (end.reason == voip::EndReason::LocalUser)
        return tr("call-cancelled").arg(who);
    if (end.retried)
        return tr("call-failed").arg(who, tr("why-temporary-twice"));
    // A bare name nobody could be found by: it is an alias for a gatekeeper to find.
    const QString target = end.target.isEmpty() ? end.dialled : end.target;
    if (isBareName(target) &&
        (end.reason == voip::EndReason::NameNotFound || end.reason == voip::EndReason::Unreachable))
        return tr("call-failed")
            .arg(who,
                 gatekeeper_ ? tr("why-alias-not-registered") : tr("why-alias-needs-gatekeeper"));
    return tr("call-failed").arg(who, reasonText(end.reason, end.cause));
}

void KxManager::finishCall(const CallEnd& end, const QString& notice)
{
    const Recent recent = recentFor(end);
    if (context_.recents)
        context_.recents->addRecent(recent);
    const QString text =
        notice.isNull()
            ? phrasebook_->say([this, end, name = recent.name] { return noticeFor(end, name); })
            : notice;
    std::cout << "Call ended: " << (text.isEmpty() ? "declined" : text.toStdString()) << std::endl;
    if (text.isEmpty())
        return;
    const bool missed = end.incoming && !end.established;
    if (missed)
        emit events_->missedCall(text);
    else
        emit events_->callEnded(text);
}
