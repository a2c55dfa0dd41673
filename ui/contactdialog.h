#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
struct Contact;

/// The dialog in which the contacts and history pages edit one contact: name, IP address,
/// organisation and postal address, and a Save button.  Its texts come from the page's
/// own catalogue context, given as `context`.  The page connects the Save button to its
/// own save slot, which checks the fields, stores the contact and closes the dialog.
class ContactDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ContactDialog(const char* context);

    /// Fills the fields (the protocol is not shown).
    void setContact(const Contact& contact);
    QLineEdit* nameField() const { return name_; }
    QLineEdit* ipField() const { return ip_; }
    QLineEdit* orgField() const { return org_; }
    QLineEdit* addressField() const { return address_; }
    QPushButton* saveButton() const { return save_; }

    /// Whether the name is filled in and the address can be called as the home page would
    /// call it; if not, the dialog says why, the field gets the focus, and it stays open.
    bool checkFields();
    QLabel* problemLabel() const { return problem_; }
    /// The contact as typed, untrimmed, with protocol "h.323".
    Contact contact() const;

private:
    QLineEdit* name_ = nullptr;
    QLineEdit* ip_ = nullptr;
    QLineEdit* org_ = nullptr;
    QLineEdit* address_ = nullptr;
    QPushButton* save_ = nullptr;
    QLabel* problem_ = nullptr;
    const char* context_;
};
