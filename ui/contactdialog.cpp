#include "ui/contactdialog.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxmanager.h"
#include "storage/contactstore.h"

ContactDialog::ContactDialog(const char* context)
    : QDialog(nullptr, Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , context_(context)
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
    problem_ = new QLabel();
    problem_->setObjectName("labelContactProblem");
    problem_->setWordWrap(true);
    problem_->setAlignment(Qt::AlignCenter);
    problem_->setMaximumWidth(QFontMetrics(font()).horizontalAdvance(QString(40, 'x')));
    problem_->hide();
    layout->addWidget(problem_);
    save_ = new QPushButton(QCoreApplication::translate(context, "save"));
    layout->addWidget(save_, 0, Qt::AlignCenter);
}

void ContactDialog::setContact(const Contact& contact)
{
    problem_->hide();
    name_->setText(contact.name);
    ip_->setText(contact.ip);
    org_->setText(contact.org);
    address_->setText(contact.address);
}

bool ContactDialog::checkFields()
{
    QString problem;
    QLineEdit* field = nullptr;
    if (name_->text().trimmed().isEmpty()) {
        problem = QCoreApplication::translate(context_, "name-needed");
        field = name_;
    } else if (problem = KxManager::addressProblem(ip_->text()); !problem.isEmpty()) {
        field = ip_;
    }
    problem_->setText(problem);
    problem_->setVisible(!problem.isEmpty());
    if (field)
        field->setFocus();
    return !field;
}

Contact ContactDialog::contact() const
{
    return Contact{name_->text(), ip_->text(), org_->text(), address_->text(), "h.323"};
}
