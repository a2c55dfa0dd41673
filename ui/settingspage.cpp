#include "ui/settingspage.h"
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

// --- the page contract ---

SettingsPage::SettingsPage(WidgetSettings& owner, const UiContext& context)
    : owner_(owner)
    , context_(context)
{
    layout_ = new QVBoxLayout(this);
    layout_->setAlignment(Qt::AlignTop);
    layout_->setSpacing(0);
}

void SettingsPage::changed()
{
    modified_ = true;
    owner_.setApplyDisabled(false);
}

QWidget* SettingsPage::addRow(const QString& label, QWidget* field)
{
    QWidget* row = KxApp::createLabeledRow(label, field, "labelSettings", owner_.labelWidth(),
                                           QMargins(10, 10, 10, 10), Qt::AlignLeft);
    layout_->addWidget(row);
    return row;
}

QLineEdit* SettingsPage::lineEdit()
{
    auto* edit = new QLineEdit();
    edit->setMinimumWidth(WidgetSettings::FieldWidth);
    edit->setAlignment(Qt::AlignCenter);
    return edit;
}

// --- the dialog ---
