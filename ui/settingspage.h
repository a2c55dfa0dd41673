#pragma once

#include <QWidget>

#include "ui/uicontext.h"

class QLineEdit;
class QVBoxLayout;
class WidgetSettings;

/// What every page of the settings dialog shares: the hosting dialog, the modified flag,
/// and the rows of label and field.
class SettingsPage : public QWidget
{
    Q_OBJECT

public:
    SettingsPage(WidgetSettings& owner, const UiContext& context);

    /// Sets every field from the settings.  Does not touch the modified flag.
    virtual void UpdateData() = 0;
    /// Writes the page's keys and applies them to the engine, when modified.
    virtual void save() = 0;
    bool modified() const { return modified_; }
    void setModified(bool modified) { modified_ = modified; }

protected:
    /// Marks the page modified and enables the dialog's Apply.
    void changed();
    /// A row of the page: the label (of the dialog's label width) and the field.
    QWidget* addRow(const QString& label, QWidget* field);
    QLineEdit* lineEdit();

    WidgetSettings& owner_;
    UiContext context_;
    QVBoxLayout* layout_ = nullptr;
    bool modified_ = false;
};
