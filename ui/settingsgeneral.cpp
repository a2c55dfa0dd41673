#include "ui/settingsgeneral.h"
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

// --- General ---

SettingsGeneral::SettingsGeneral(WidgetSettings& owner, const UiContext& context)
    : SettingsPage(owner, context)
{
    name = lineEdit();
    language = new QComboBox();
    // Each language by its own name, so that a reader of either finds theirs.
    language->addItems({QStringLiteral("English"), QStringLiteral("Tiếng Việt")});
    autoAnswer = new QCheckBox();
    autoStart = new QCheckBox();
    autoUpdate = new QCheckBox();
    status = new QLabel();
    status->setObjectName("labelSettingsStatus");
    status->setWordWrap(true);
    addRow(tr("display-name"), name);
    addRow(tr("language"), language);
    addRow(tr("auto-answer"), autoAnswer);
    addRow(tr("auto-start"), autoStart);
    addRow(tr("auto-update"), autoUpdate);
    layout_->addWidget(status);
    connect(name, &QLineEdit::textEdited, this, &SettingsGeneral::onSave);
    connect(language, qOverload<int>(&QComboBox::activated), this, &SettingsGeneral::onSave);
    for (QCheckBox* box : {autoAnswer, autoStart, autoUpdate})
        connect(box, &QCheckBox::clicked, this, &SettingsGeneral::onSave);
}

void SettingsGeneral::onSave()
{
    changed();
}

void SettingsGeneral::UpdateData()
{
    std::cout << "Update Data for General" << std::endl;
    QSettings& settings = context_.settings();
    name->setText(kxdefaults::read(settings, kxdefaults::Name));
    language->setCurrentIndex(kxdefaults::read(settings, kxdefaults::Language) == "vn" ? 1 : 0);
    autoAnswer->setChecked(kxdefaults::read(settings, kxdefaults::AutoAnswer));
    autoStart->setChecked(kxdefaults::read(settings, kxdefaults::AutoStart));
    autoUpdate->setChecked(kxdefaults::read(settings, kxdefaults::AutoUpdate));
}

void SettingsGeneral::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::Name, name->text());
    if (KxManager* manager = context_.manager()) {
        manager->setDefaultUserName(name->text().toStdString(), true);
        manager->setDefaultDisplayName(name->text().toStdString(), true);
    }
    // A new language is applied at once: the running window follows (LanguageChange).
    const QString chosen = language->currentIndex() == 1 ? "vn" : "en";
    const bool newLanguage = kxdefaults::read(settings, kxdefaults::Language) != chosen;
    kxdefaults::write(settings, kxdefaults::Language, chosen);
    kxdefaults::write(settings, kxdefaults::AutoAnswer, autoAnswer->isChecked());
    kxdefaults::write(settings, kxdefaults::AutoStart, autoStart->isChecked());
    kxdefaults::write(settings, kxdefaults::AutoUpdate, autoUpdate->isChecked());
    settings.sync();
    if (KxManager* manager = context_.manager())
        manager->refreshPolicy(); // auto-answer holds from the next incoming call
    if (newLanguage) {
        kxlanguage::apply(chosen);
        emit owner_.languageApplied();
    }
    const QString error =
        kxautostart::apply(autoStart->isChecked(), QCoreApplication::applicationFilePath());
    status->setText(error.isEmpty() ? QString() : tr("autostart-failed").arg(error));
    UpdateData();
}
