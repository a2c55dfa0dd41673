#include "ui/settingscodecs.h"
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

// --- Codecs ---

SettingsCodecs::SettingsCodecs(WidgetSettings& owner, const UiContext& context)
    : SettingsPage(owner, context)
{
    g722 = new QCheckBox("G.722");
    g711a = new QCheckBox("G.711a");
    g711u = new QCheckBox("G.711u");
    QWidget* audioRow = addRow(tr("audio-codecs"), nullptr);
    for (QCheckBox* box : {g722, g711a, g711u})
        audioRow->layout()->addWidget(box);
    frameSize = new QComboBox();
    frameSize->addItems(kxdefaults::frameSizes());
    fecc = new QCheckBox();
    h239 = new QCheckBox();
    addRow(tr("video-frame-size"), frameSize);
    addRow(tr("fecc"), fecc);
    addRow("H.239", h239);
    for (QCheckBox* box : {g722, g711a, g711u, fecc, h239})
        connect(box, &QCheckBox::clicked, this, &SettingsCodecs::onSave);
    connect(frameSize, qOverload<int>(&QComboBox::activated), this, &SettingsCodecs::onSave);
}

void SettingsCodecs::onSave()
{
    changed();
}

void SettingsCodecs::UpdateData()
{
    std::cout << "Update Data for Codecs" << std::endl;
    QSettings& settings = context_.settings();
    g722->setChecked(kxdefaults::read(settings, kxdefaults::CodecG722));
    g711a->setChecked(kxdefaults::read(settings, kxdefaults::CodecG711A));
    g711u->setChecked(kxdefaults::read(settings, kxdefaults::CodecG711U));
    fecc->setChecked(kxdefaults::read(settings, kxdefaults::CodecFecc));
    h239->setChecked(kxdefaults::read(settings, kxdefaults::CodecH239));
    const int index = frameSize->findText(
        QString::number(kxdefaults::read(settings, kxdefaults::CodecWidth)) + "x" +
        QString::number(kxdefaults::read(settings, kxdefaults::CodecHeight)));
    if (index >= 0)
        frameSize->setCurrentIndex(index);
}

void SettingsCodecs::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::CodecG722, g722->isChecked());
    kxdefaults::write(settings, kxdefaults::CodecG711A, g711a->isChecked());
    kxdefaults::write(settings, kxdefaults::CodecG711U, g711u->isChecked());
    kxdefaults::write(settings, kxdefaults::CodecFecc, fecc->isChecked());
    kxdefaults::write(settings, kxdefaults::CodecH239, h239->isChecked());
    const QStringList parts = frameSize->currentText().split('x', Qt::SkipEmptyParts);
    if (parts.size() != 2)
        return;
    kxdefaults::write(settings, kxdefaults::CodecWidth, parts[0].toInt());
    kxdefaults::write(settings, kxdefaults::CodecHeight, parts[1].toInt());
    settings.sync();
    // During a call the codecs stay as they were agreed; the reset after the call applies
    // the new ones.
    KxManager* manager = context_.manager();
    if (manager && !manager->currentCall()) {
        manager->resetVideoFrames();
        manager->applyMediaFormats();
    }
}
