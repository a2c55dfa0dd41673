#pragma once

#include <memory>

#include "ui/listpage.h"

class QPushButton;

class ContactDialog;

/// The address book page: the contacts, numbered, with a context menu to call, add, edit,
/// remove, export and import them.  Every change goes to the contact store, which saves.
class WidgetContacts : public ListPage
{
    Q_OBJECT

public:
    WidgetContacts(const UiContext& context, QWidget* parent = nullptr);
    ~WidgetContacts() override;

    /// Rebuilds the list from the contact store.
    void UpdateData();
    ContactDialog* dialog() const { return dialog_.get(); }
    /// The button under the list that adds a contact (the way in on an empty list).
    QPushButton* addButton() const { return add_; }
    /// The row being edited, -1 when the dialog adds a contact.
    int editIndex() const { return editIndex_; }

public slots:
    void onContextMenu(QPoint point);
    void onCall();
    void onAdd();
    void onEdit();
    void onRemove();
    void onSave();
    void onExport();
    void onImport();

signals:
    /// An import or export failed; the text says which file and why.
    void fileProblem(const QString& text);

protected:
    void removeAsked() override { onRemove(); }
    void retranslate() override;

private:
    /// The right button's menus, in the present language.
    void buildMenus();
    /// The contact dialog, (re)made in the present language with its Save connected.
    void makeDialog();

    std::unique_ptr<ContactDialog> dialog_; // a window of its own, without parent
    QPushButton* add_ = nullptr;
    int editIndex_ = -1;
};
