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

WidgetSettings::WidgetSettings(const UiContext& context, QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
{
    setWindowTitle(tr("settings"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    labelWidth_ = QFontMetrics(font()).horizontalAdvance("12345678901234567890") + 20;
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget();
    general_ = new SettingsGeneral(*this, context_);
    audio_ = new SettingsAudio(*this, context_);
    video_ = new SettingsVideo(*this, context_);
    codecs_ = new SettingsCodecs(*this, context_);
    network_ = new SettingsNetwork(*this, context_);
    tabs_->addTab(general_, tr("general"));
    tabs_->addTab(audio_, tr("audio"));
    tabs_->addTab(video_, tr("video"));
    tabs_->addTab(codecs_, tr("codecs"));
    tabs_->addTab(network_, tr("network"));
    layout->addWidget(tabs_);
    auto* buttons = new QWidget();
    auto* row = new QHBoxLayout(buttons);
    row->setAlignment(Qt::AlignRight);
    apply_ = new QPushButton(tr("apply"));
    close_ = new QPushButton(tr("close"));
    row->addWidget(apply_);
    row->addWidget(close_);
    layout->addWidget(buttons);
    connect(tabs_, &QTabWidget::currentChanged, this, &WidgetSettings::UpdateData);
    connect(apply_, &QPushButton::clicked, this, &WidgetSettings::onApply);
    connect(close_, &QPushButton::clicked, this, &WidgetSettings::onClose);
    connect(this, &QDialog::finished, this, &WidgetSettings::onFinished);
}

void WidgetSettings::open()
{
    if (isVisible())
        return;
    setApplyDisabled(true);
    // A file edited by hand: what the pages cannot show goes back to its default (the
    // language stays: an unknown one means no catalogue, as at start).
    for (const QString& key : kxdefaults::correctInvalid(
             context_.settings(), {"auto", "audio/", "video/", "codecs/", "net/"}))
        std::cout << "Setting " << key.toStdString() << " was not valid; its default is used"
                  << std::endl;
    UpdateData();
    QDialog::open();
}

void WidgetSettings::setApplyDisabled(bool disabled)
{
    apply_->setDisabled(disabled);
}

void WidgetSettings::UpdateData()
{
    if (auto* page = qobject_cast<SettingsPage*>(tabs_->currentWidget()))
        page->UpdateData();
}

void WidgetSettings::onApply()
{
    setApplyDisabled(true);
    QCoreApplication::processEvents();
    for (SettingsPage* page :
         std::initializer_list<SettingsPage*>{general_, audio_, video_, codecs_, network_})
        page->save();
}

void WidgetSettings::onClose()
{
    if (!apply_->isEnabled()) {
        close();
        return;
    }
    QMessageBox box;
    box.setText(tr("save-changes") + "?");
    box.setIcon(QMessageBox::Question);
    box.setIconPixmap(QPixmap(":/img/help.png"));
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.button(QMessageBox::Save)->setText(tr("save"));
    box.button(QMessageBox::Discard)->setText(tr("discard"));
    box.button(QMessageBox::Cancel)->setText(tr("cancel"));
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
    case QMessageBox::Save:
        onApply();
        close();
        break;
    case QMessageBox::Discard:
        for (SettingsPage* page :
             std::initializer_list<SettingsPage*>{general_, audio_, video_, codecs_, network_})
            page->setModified(false);
        close();
        break;
    case QMessageBox::Cancel:
        break;
    default:
        close();
    }
}

void WidgetSettings::onFinished()
{
    audio_->closeVolumeChannels();
}
