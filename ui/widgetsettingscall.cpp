#include "ui/widgetsettingscall.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QFontMetrics>
#include <QGroupBox>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxmanager.h"
#include "ui/mainwindow.h"
#include "ui/sounddevices.h"
#include "ui/uicontext.h"

WidgetSettingsCall::WidgetSettingsCall(const UiContext& context, MainWindow& window,
                                       QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
    , window_(window)
{
    setObjectName("settingsCall");
    setWindowOpacity(0.9);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(10, 0, 10, 10);
    const int labelWidth = QFontMetrics(font()).horizontalAdvance("123456789012");
    const double scale = context_.scaleFactor();

    const auto group = [&](const QString& title) {
        auto* box = new QGroupBox(title);
        box->setObjectName("boxSettingsCall");
        auto* boxLayout = new QVBoxLayout(box);
        boxLayout->setSpacing(5);
        boxLayout->setContentsMargins(5, 5, 5, 5);
        layout->addWidget(box);
        return boxLayout;
    };
    const auto row = [&](QVBoxLayout* box, const QString& label, QWidget* field) {
        box->addWidget(KxApp::createLabeledRow(label, field, "labelCallSettings", labelWidth,
                                               QMargins(0, 0, 0, 0), Qt::AlignLeft));
    };

    QVBoxLayout* toolbar = group(tr("toolbar"));
    autoHide_ = new QCheckBox();
    autoHide_->setObjectName("checkSettingsCall");
    connect(autoHide_, &QCheckBox::clicked, this, &WidgetSettingsCall::onAutoHide);
    row(toolbar, tr("auto-hide"), autoHide_);
    location_ = new QComboBox();
    location_->addItems({tr("top"), tr("bottom")});
    connect(location_, qOverload<int>(&QComboBox::activated), this,
            &WidgetSettingsCall::onLocation);
    row(toolbar, tr("location"), location_);

    QVBoxLayout* layoutGroup = group(tr("layout"));
    pip_ = new QComboBox();
    pip_->addItems(
        {tr("off"), tr("top-right"), tr("bottom-right"), tr("bottom-left"), tr("top-left")});
    connect(pip_, qOverload<int>(&QComboBox::activated), this, &WidgetSettingsCall::onPiP);
    row(layoutGroup,
        tr("pip") + " [" + QKeySequence("Ctrl+2").toString(QKeySequence::NativeText) + "]", pip_);

    QVBoxLayout* audio = group(tr("audio"));
    input_ = new QComboBox();
    output_ = new QComboBox();
    for (QComboBox* box : {input_, output_}) {
        box->setMinimumWidth(int(150 * scale));
        box->setMaximumWidth(int(500 * scale));
    }
    connect(input_, qOverload<int>(&QComboBox::activated), this, &WidgetSettingsCall::onInput);
    connect(output_, qOverload<int>(&QComboBox::activated), this, &WidgetSettingsCall::onOutput);
    row(audio, tr("input"), input_);
    row(audio, tr("output"), output_);
}

void WidgetSettingsCall::UpdateData()
{
    QSettings& settings = context_.settings();
    autoHide_->setChecked(kxdefaults::read(settings, kxdefaults::CallAutoHide));
    location_->setCurrentIndex(kxdefaults::read(settings, kxdefaults::CallLocation) == 1 ? 1 : 0);
    const int pip = kxdefaults::read(settings, kxdefaults::CallPip);
    pip_->setCurrentIndex(pip >= 0 && pip <= 4 ? pip : 0);
    const auto refill = [&](QComboBox* box, bool input, const kxdefaults::Text& key) {
        box->clear();
        if (KxManager* manager = context_.manager())
            sounddevices::fill(*box, manager->soundDeviceNames(input));
        sounddevices::choose(*box, kxdefaults::read(settings, key), true);
    };
    refill(input_, true, kxdefaults::AudioInput);
    refill(output_, false, kxdefaults::AudioOutput);
}

int WidgetSettingsCall::nextPiP(int current)
{
    if (current < 0 || current > 4)
        return 1;
    return current == 4 ? 0 : current + 1;
}

void WidgetSettingsCall::onAutoHide()
{
    QSettings& settings = context_.settings();
    const bool checked = autoHide_->isChecked();
    if (checked == kxdefaults::read(settings, kxdefaults::CallAutoHide))
        return;
    kxdefaults::write(settings, kxdefaults::CallAutoHide, checked);
    window_.setAutoHide(checked);
}

void WidgetSettingsCall::onLocation()
{
    QSettings& settings = context_.settings();
    const int index = location_->currentIndex();
    if (index == kxdefaults::read(settings, kxdefaults::CallLocation))
        return;
    kxdefaults::write(settings, kxdefaults::CallLocation, index);
    window_.placeCallDock(index);
}

void WidgetSettingsCall::onPiP()
{
    KxManager* manager = context_.manager();
    if (!manager || !manager->currentCall())
        return;
    const int index = pip_->currentIndex();
    kxdefaults::write(context_.settings(), kxdefaults::CallPip,
                      index >= 0 && index <= 4 ? index : 0);
    window_.applyLayout();
}

void WidgetSettingsCall::onPiPShortcut()
{
    KxManager* manager = context_.manager();
    if (!manager || !manager->currentCall())
        return;
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::CallPip,
                      nextPiP(kxdefaults::read(settings, kxdefaults::CallPip)));
    window_.applyLayout();
}

void WidgetSettingsCall::changeDevice(QComboBox* box, const kxdefaults::Text& key, bool input)
{
    QSettings& settings = context_.settings();
    const QString device = sounddevices::chosen(*box);
    if (device == kxdefaults::read(settings, key))
        return;
    kxdefaults::write(settings, key, device);
    KxManager* manager = context_.manager();
    if (manager && manager->currentCall())
        manager->changeSoundDevice(input);
}

void WidgetSettingsCall::onInput()
{
    changeDevice(input_, kxdefaults::AudioInput, true);
}

void WidgetSettingsCall::onOutput()
{
    changeDevice(output_, kxdefaults::AudioOutput, false);
}
