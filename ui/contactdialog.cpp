#include "ui/contactdialog.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "storage/contactstore.h"

ContactDialog::ContactDialog(const char* context)
    : QDialog(nullptr, Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    auto* layout = new QVBoxLayout(this);
    const int labelWidth = QFontMetrics(font()).horizontalAdvance("123456789012");
    const auto addRow = [&](const char* key) {
        const QString text = QCoreApplication::translate(context, key);
        auto* field = new QLineEdit();
        field->setAlignment(Qt::AlignCenter);
        field->setPlaceholderText(text);
        layout->addWidget(KxApp::createLabeledRow(text, field, QString(), labelWidth,
                                                  QMargins(0, 0, 0, 0), Qt::AlignLeft));
        return field;
    };
    name_ = addRow("name");
    ip_ = addRow("ip-address");
    org_ = addRow("organization");
    address_ = addRow("address");
    save_ = new QPushButton(QCoreApplication::translate(context, "save"));
    layout->addWidget(save_, 0, Qt::AlignCenter);
}

void ContactDialog::setContact(const Contact& contact)
{
    name_->setText(contact.name);
    ip_->setText(contact.ip);
    org_->setText(contact.org);
    address_->setText(contact.address);
}

bool ContactDialog::checkFields()
{
    for (QLineEdit* field : {name_, ip_}) {
        if (field->text().isEmpty()) {
            field->setFocus();
            return false;
        }
    }
    return true;
}

Contact ContactDialog::contact() const
{
    return Contact{name_->text(), ip_->text(), org_->text(), address_->text(), "h.323"};
}
