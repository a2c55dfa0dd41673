#pragma once

#include "ui/settingspage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTimer;

class SettingsNetwork : public SettingsPage
{
    Q_OBJECT

public:
    SettingsNetwork(WidgetSettings& owner, const UiContext& context);
    void UpdateData() override;
    void save() override;

    QComboBox* transmit = nullptr;
    QComboBox* receive = nullptr;
    QComboBox* nat = nullptr;
    QLineEdit* stunServer = nullptr;
    QLineEdit* publicIp = nullptr;
    QLineEdit* udpLow = nullptr;
    QLineEdit* udpHigh = nullptr;
    QLineEdit* tcpLow = nullptr;
    QLineEdit* tcpHigh = nullptr;
    QLabel* status = nullptr;        ///< what the STUN server answered; ports that were corrected
    QComboBox* gatekeeper = nullptr; ///< none, found on the network, or at an address
    QLineEdit* gatekeeperHost = nullptr;
    QLineEdit* gatekeeperAlias = nullptr;
    QLineEdit* gatekeeperE164 = nullptr;
    QLineEdit* gatekeeperPassword = nullptr;
    QLineEdit* gatekeeperTtl = nullptr; ///< seconds
    QCheckBox* gatekeeperTraversal = nullptr; ///< cross a NAT with the gatekeeper's help
    QComboBox* encryption = nullptr;          ///< never, when the far end can, required
    QLabel* gatekeeperStatus = nullptr; ///< where the registration stands

    /// The port range as saved: out-of-range ports corrected, the upper one above the
    /// lower one.  Texts that are not numbers count as 0.
    struct Ports
    {
        int udpLow, udpHigh, tcpLow, tcpHigh;
    };
    static Ports correctedPorts(const QString& udpLow, const QString& udpHigh,
                                const QString& tcpLow, const QString& tcpHigh);

public slots:
    void onChange();
    void onNATChange();

private:
    void enableNatFields();
    void askStun();
    void showGatekeeperStatus();
    QTimer* gatekeeperTimer_ = nullptr;
    QWidget* portRangeField(QLineEdit*& low, QLineEdit*& high);
};
