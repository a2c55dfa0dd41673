#include "ui/settingsnetwork.h"
#include "ui/widgetsettings.h"

#include <algorithm>
#include <iostream>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QTimer>
#include <QSettings>
#include <QTabWidget>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "KxPhone/kxmanager.h"
#include "KxPhone/platform/autostart.h"
#include "ui/language.h"

// --- Network ---

SettingsNetwork::SettingsNetwork(WidgetSettings& owner, const UiContext& context)
    : SettingsPage(owner, context)
{
    transmit = new QComboBox();
    receive = new QComboBox();
    transmit->addItems(kxdefaults::bandwidths());
    receive->addItems(kxdefaults::bandwidths());
    nat = new QComboBox();
    nat->addItems({tr("nat-off"), tr("nat-stun"), tr("nat-manual")});
    nat->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    nat->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    stunServer = lineEdit();
    publicIp = lineEdit();
    status = new QLabel();
    status->setObjectName("labelSettingsStatus");
    status->setWordWrap(true);
    addRow(tr("bandwidth-transmit") + " (Kbps)", transmit);
    addRow(tr("bandwidth-receive") + " (Kbps)", receive);
    QWidget* natRow = addRow(tr("enable-nat"), nat);
    static_cast<QHBoxLayout*>(natRow->layout())->addStretch();
    addRow(tr("stun-server"), stunServer);
    addRow(tr("public-ip"), publicIp);
    addRow(tr("media-ports-udp"), portRangeField(udpLow, udpHigh));
    addRow(tr("media-ports-tcp"), portRangeField(tcpLow, tcpHigh));
    encryption = new QComboBox();
    // Indexed as the policy is stored.
    encryption->addItems({tr("encryption-off"), tr("encryption-auto"), tr("encryption-required")});
    encryption->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    encryption->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    encryption->setToolTip(tr("encryption-tip"));
    QWidget* encryptionRow = addRow(tr("encryption"), encryption);
    static_cast<QHBoxLayout*>(encryptionRow->layout())->addStretch();
    gatekeeper = new QComboBox();
    // Indexed as the mode is stored: none, found on the network, at an address.
    gatekeeper->addItems({tr("gk-off"), tr("gk-auto"), tr("gk-host")});
    gatekeeper->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    gatekeeper->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    gatekeeperHost = lineEdit();
    gatekeeperAlias = lineEdit();
    gatekeeperE164 = lineEdit();
    gatekeeperE164->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9#*,]{0,128}"), gatekeeperE164));
    gatekeeperAlias->setMaxLength(128);
    gatekeeperPassword = lineEdit();
    gatekeeperPassword->setEchoMode(QLineEdit::Password);
    gatekeeperPassword->setMaxLength(128);
    gatekeeperTtl = lineEdit();
    gatekeeperTtl->setValidator(new QIntValidator(1, kxdefaults::MaxTimeToLive, gatekeeperTtl));
    gatekeeperTraversal = new QCheckBox(tr("gatekeeper-traversal"));
    QWidget* gatekeeperRow = addRow(tr("gatekeeper"), gatekeeper);
    static_cast<QHBoxLayout*>(gatekeeperRow->layout())->addStretch();
    addRow(tr("gatekeeper-host"), gatekeeperHost);
    addRow(tr("gatekeeper-alias"), gatekeeperAlias);
    addRow(tr("gatekeeper-e164"), gatekeeperE164);
    addRow(tr("gatekeeper-password"), gatekeeperPassword);
    addRow(tr("gatekeeper-ttl"), gatekeeperTtl);
    addRow(QString(), gatekeeperTraversal);
    gatekeeperStatus = new QLabel();
    gatekeeperStatus->setObjectName("labelSettingsStatus");
    gatekeeperStatus->setWordWrap(true);
    layout_->addWidget(gatekeeperStatus);
    layout_->addWidget(status);
    // The registration goes on by itself: its state is shown while the page is open.
    gatekeeperTimer_ = new QTimer(this);
    gatekeeperTimer_->setInterval(500);
    connect(gatekeeperTimer_, &QTimer::timeout, this, &SettingsNetwork::showGatekeeperStatus);
    gatekeeperTimer_->start();
    connect(gatekeeper, qOverload<int>(&QComboBox::activated), this, &SettingsNetwork::onNATChange);
    for (QLineEdit* edit :
         {gatekeeperHost, gatekeeperAlias, gatekeeperE164, gatekeeperPassword, gatekeeperTtl})
        connect(edit, &QLineEdit::textEdited, this, &SettingsNetwork::onChange);
    connect(gatekeeperTraversal, &QCheckBox::clicked, this, &SettingsNetwork::onChange);
    connect(transmit, qOverload<int>(&QComboBox::activated), this, &SettingsNetwork::onChange);
    connect(receive, qOverload<int>(&QComboBox::activated), this, &SettingsNetwork::onChange);
    connect(nat, qOverload<int>(&QComboBox::activated), this, &SettingsNetwork::onNATChange);
    connect(encryption, qOverload<int>(&QComboBox::activated), this, &SettingsNetwork::onChange);
    for (QLineEdit* edit : {stunServer, publicIp, udpLow, udpHigh, tcpLow, tcpHigh})
        connect(edit, &QLineEdit::textEdited, this, &SettingsNetwork::onChange);
}

QWidget* SettingsNetwork::portRangeField(QLineEdit*& low, QLineEdit*& high)
{
    auto* field = new QWidget();
    auto* row = new QHBoxLayout(field);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    for (QLineEdit** edit : {&low, &high}) {
        *edit = new QLineEdit();
        (*edit)->setFixedWidth(70);
        (*edit)->setAlignment(Qt::AlignCenter);
        (*edit)->setValidator(new QIntValidator(1000, 65400, *edit));
    }
    row->addWidget(low);
    row->addWidget(new QLabel("-"));
    row->addWidget(high);
    row->addStretch();
    return field;
}

void SettingsNetwork::onChange()
{
    changed();
}

void SettingsNetwork::onNATChange()
{
    enableNatFields();
    changed();
}

void SettingsNetwork::enableNatFields()
{
    stunServer->setEnabled(nat->currentIndex() == 1);
    publicIp->setEnabled(nat->currentIndex() == 2);
    gatekeeperHost->setEnabled(gatekeeper->currentIndex() == 2);
    for (QLineEdit* edit : {gatekeeperAlias, gatekeeperE164, gatekeeperPassword, gatekeeperTtl})
        edit->setEnabled(gatekeeper->currentIndex() != 0);
    gatekeeperTraversal->setEnabled(gatekeeper->currentIndex() != 0);
}

void SettingsNetwork::showGatekeeperStatus()
{
    if (!isVisible())
        return;
    KxManager* manager = context_.manager();
    if (!manager) {
        gatekeeperStatus->clear();
        return;
    }
    QStringList lines{manager->gatekeeperStatus()};
    if (const QString traversal = manager->traversalStatus(); !traversal.isEmpty())
        lines << traversal;
    lines.removeAll(QString());
    gatekeeperStatus->setText(lines.join('\n'));
}

void SettingsNetwork::UpdateData()
{
    std::cout << "Update Data for Network" << std::endl;
    QSettings& settings = context_.settings();
    for (auto [box, key] :
         {std::pair{transmit, &kxdefaults::NetTransmit}, {receive, &kxdefaults::NetReceive}}) {
        const int index = box->findText(QString::number(kxdefaults::read(settings, *key)));
        if (index >= 0)
            box->setCurrentIndex(index);
    }
    nat->setCurrentIndex(kxdefaults::read(settings, kxdefaults::NetNat));
    stunServer->setText(kxdefaults::read(settings, kxdefaults::NetStun));
    publicIp->setText(kxdefaults::read(settings, kxdefaults::NetPublicIp));
    udpLow->setText(QString::number(kxdefaults::read(settings, kxdefaults::NetUdpLow)));
    udpHigh->setText(QString::number(kxdefaults::read(settings, kxdefaults::NetUdpHigh)));
    tcpLow->setText(QString::number(kxdefaults::read(settings, kxdefaults::NetTcpLow)));
    tcpHigh->setText(QString::number(kxdefaults::read(settings, kxdefaults::NetTcpHigh)));
    encryption->setCurrentIndex(kxdefaults::read(settings, kxdefaults::NetEncryption));
    const int gatekeeperMode = kxdefaults::read(settings, kxdefaults::GatekeeperMode);
    gatekeeper->setCurrentIndex(gatekeeperMode >= 0 && gatekeeperMode <= 2 ? gatekeeperMode : 0);
    gatekeeperHost->setText(kxdefaults::read(settings, kxdefaults::GatekeeperHost));
    gatekeeperAlias->setText(kxdefaults::read(settings, kxdefaults::GatekeeperAlias));
    gatekeeperE164->setText(kxdefaults::read(settings, kxdefaults::GatekeeperE164));
    gatekeeperPassword->setText(kxdefaults::read(settings, kxdefaults::GatekeeperPassword));
    gatekeeperTtl->setText(QString::number(kxdefaults::read(settings, kxdefaults::GatekeeperTtl)));
    gatekeeperTraversal->setChecked(kxdefaults::read(settings, kxdefaults::GatekeeperTraversal));
    enableNatFields();
    showGatekeeperStatus();
    status->clear();
    // The public address STUN finds comes when the server answers: asked off the GUI
    // thread, shown when it arrives.
    if (nat->currentIndex() == 1)
        askStun();
}

void SettingsNetwork::askStun()
{
    KxManager* manager = context_.manager();
    if (!manager)
        return;
    status->setText(tr("stun-asking").arg(stunServer->text()));
    manager->probeStun(this, [this](const KxManager::StunAnswer& answer) {
        if (nat->currentIndex() != 1 ||
            answer.server != kxdefaults::read(context_.settings(), kxdefaults::NetStun))
            return; // an answer to an earlier question
        if (answer.address.isEmpty()) {
            status->setText(tr("stun-no-answer").arg(answer.server));
            return;
        }
        status->setText(tr("stun-answered").arg(answer.address));
        if (!modified_)
            publicIp->setText(answer.address);
    });
}

SettingsNetwork::Ports SettingsNetwork::correctedPorts(const QString& udpLow,
                                                       const QString& udpHigh,
                                                       const QString& tcpLow,
                                                       const QString& tcpHigh)
{
    auto read = [](const QString& text, int below) {
        bool ok = false;
        const int value = text.trimmed().toInt(&ok);
        if (!ok || value < 1000)
            return below;
        return std::min(value, 65400);
    };
    Ports ports{read(udpLow, 3230), read(udpHigh, 3300), read(tcpLow, 3230), read(tcpHigh, 3250)};
    if (ports.udpHigh <= ports.udpLow)
        ports.udpHigh = ports.udpLow + 20;
    if (ports.tcpHigh <= ports.tcpLow)
        ports.tcpHigh = ports.tcpLow + 10;
    return ports;
}

void SettingsNetwork::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::NetTransmit, transmit->currentText().toInt());
    kxdefaults::write(settings, kxdefaults::NetReceive, receive->currentText().toInt());
    kxdefaults::write(settings, kxdefaults::NetNat, nat->currentIndex());
    kxdefaults::write(settings, kxdefaults::NetStun, stunServer->text().trimmed());
    kxdefaults::write(settings, kxdefaults::NetPublicIp, publicIp->text().trimmed());
    kxdefaults::write(settings, kxdefaults::NetEncryption, encryption->currentIndex());
    const Ports ports =
        correctedPorts(udpLow->text(), udpHigh->text(), tcpLow->text(), tcpHigh->text());
    QStringList corrected;
    auto store = [&](const kxdefaults::Number& key, QLineEdit* edit, int value) {
        if (edit->text().trimmed() != QString::number(value))
            corrected << QString("%1 → %2").arg(edit->text().trimmed(), QString::number(value));
        kxdefaults::write(settings, key, value);
        edit->setText(QString::number(value));
    };
    store(kxdefaults::NetUdpLow, udpLow, ports.udpLow);
    store(kxdefaults::NetUdpHigh, udpHigh, ports.udpHigh);
    store(kxdefaults::NetTcpLow, tcpLow, ports.tcpLow);
    store(kxdefaults::NetTcpHigh, tcpHigh, ports.tcpHigh);
    // The gatekeeper: registered again only when something of it changed.  A time to
    // live out of range is brought back into it.
    const int gatekeeperMode = gatekeeper->currentIndex();
    bool ttlOk = false;
    const int ttl = std::clamp(gatekeeperTtl->text().toInt(&ttlOk), kxdefaults::MinTimeToLive,
                               kxdefaults::MaxTimeToLive);
    gatekeeperTtl->setText(
        QString::number(ttlOk ? ttl : kxdefaults::read(settings, kxdefaults::GatekeeperTtl)));
    struct Field
    {
        const char* key;
        QString value;
        QString defaultValue;
    };
    const Field gatekeeperValues[] = {
        {kxdefaults::GatekeeperMode.name, QString::number(gatekeeperMode),
         QString::number(kxdefaults::GatekeeperMode.fallback)},
        {kxdefaults::GatekeeperHost.name, gatekeeperHost->text().trimmed(), ""},
        {kxdefaults::GatekeeperAlias.name, gatekeeperAlias->text().trimmed(), ""},
        {kxdefaults::GatekeeperE164.name, gatekeeperE164->text().trimmed(), ""},
        {kxdefaults::GatekeeperPassword.name, gatekeeperPassword->text(), ""},
        {kxdefaults::GatekeeperTtl.name, gatekeeperTtl->text(),
         QString::number(kxdefaults::GatekeeperTtl.fallback)},
        {kxdefaults::GatekeeperTraversal.name, gatekeeperTraversal->isChecked() ? "true" : "false",
         "true"},
    };
    bool gatekeeperChanged = false;
    for (const auto& [key, value, defaultValue] : gatekeeperValues) {
        if (settings.value(key, defaultValue).toString() != value) {
            settings.setValue(key, value);
            gatekeeperChanged = true;
        }
    }
    settings.sync();
    // The password is kept in the settings file: readable by its owner only.
    if (!gatekeeperPassword->text().isEmpty())
        QFile::setPermissions(settings.fileName(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    status->setText(corrected.isEmpty() ? QString()
                                        : tr("ports-corrected").arg(corrected.join(", ")));
    if (KxManager* manager = context_.manager()) {
        manager->h323EndPoint()->resetBandwidth();
        manager->applyMediaFormats();
        manager->applyPorts();
        manager->applyNat();
        manager->applyEncryption();
        if (gatekeeperChanged)
            manager->applyGatekeeper();
        showGatekeeperStatus();
        if (nat->currentIndex() == 1 && corrected.isEmpty())
            askStun();
    }
}
