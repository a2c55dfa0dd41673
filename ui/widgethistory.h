#pragma once

class QLocale;

#include <memory>

#include "ui/listpage.h"

class ContactDialog;
struct Recent;

/// The recent calls page, newest first: each with an icon for its direction and outcome,
/// and a context menu to call back, save as a contact, remove, or clear the history.
class WidgetHistory : public ListPage
{
    Q_OBJECT

public:
    WidgetHistory(const UiContext& context, QWidget* parent = nullptr);
    ~WidgetHistory() override;

    /// Rebuilds the list from the recent-call store.
    void UpdateData();
    ContactDialog* dialog() const { return dialog_.get(); }
    /// The picture of a record's row: its flow and status.
    static QString iconFor(const QString& flow, const QString& status);
    /// How long a record's call lasted, as its tool tip says it.
    static QString durationOf(const Recent& recent);
    /// When a call began, in `locale`'s short date and time with the year in full.
    static QString dateOf(const Recent& recent, const QLocale& locale);

public slots:
    void onContextMenu(QPoint point);
    void onCall();
    void onAdd();
    void onRemove();
    void onClear();
    void onSave();

protected:
    void removeAsked() override;
    void retranslate() override;

private:
    /// The right button's menus, in the present language.
    void buildMenus();
    /// The contact dialog, (re)made in the present language with its Save connected.
    void makeDialog();

    std::unique_ptr<ContactDialog> dialog_; // a window of its own, without parent
};
