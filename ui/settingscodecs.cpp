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
    g722->setChecked(settings.value("codecs/g722").toBool());
    g711a->setChecked(settings.value("codecs/g711a").toBool());
    g711u->setChecked(settings.value("codecs/g711u").toBool());
    fecc->setChecked(settings.value("codecs/fecc").toBool());
    h239->setChecked(settings.value("codecs/h239").toBool());
    const int index = frameSize->findText(settings.value("codecs/width").toString() + "x" +
                                          settings.value("codecs/height").toString());
    if (index >= 0)
        frameSize->setCurrentIndex(index);
}

void SettingsCodecs::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    settings.setValue("codecs/g722", g722->isChecked());
    settings.setValue("codecs/g711a", g711a->isChecked());
    settings.setValue("codecs/g711u", g711u->isChecked());
    settings.setValue("codecs/fecc", fecc->isChecked());
    settings.setValue("codecs/h239", h239->isChecked());
    const QStringList parts = frameSize->currentText().split('x', Qt::SkipEmptyParts);
    if (parts.size() != 2)
        return;
    settings.setValue("codecs/width", parts[0]);
    settings.setValue("codecs/height", parts[1]);
    settings.sync();
    // During a call the codecs stay as they were agreed; the reset after the call applies
    // the new ones.
    KxManager* manager = context_.manager();
    if (manager && !manager->currentCall()) {
        manager->resetVideoFrames();
        manager->applyMediaFormats();
    }
}
