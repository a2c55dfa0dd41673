#include "ui/widgetcontacts.h"

#include <iostream>

#include <QDir>
#include <QIcon>
#include <QLayout>
#include <QPushButton>
#include <QStandardItem>
#include <QStandardPaths>
#include <QTreeView>

#include "storage/contactstore.h"
#include "ui/contactdialog.h"
#include "ui/filedialog.h"
#include "ui/uicontext.h"

WidgetContacts::WidgetContacts(const UiContext& context, QWidget* parent)
    : ListPage(context, "WidgetContacts", "contacts", parent)
{
    makeDialog();
    connect(view(), &QTreeView::customContextMenuRequested, this, &WidgetContacts::onContextMenu);
    // Adding is in sight, not only on the right button's menu.
    add_ = new QPushButton(QIcon(":/img/add.png"), tr("add-contact"));
    add_->setObjectName("buttonAddContact");
    connect(add_, &QPushButton::clicked, this, &WidgetContacts::onAdd);
    layout()->addWidget(add_);

    buildMenus();
}

WidgetContacts::~WidgetContacts() = default;

void WidgetContacts::buildMenus()
{
    QMenu& empty = emptyMenu();
    empty.clear();
    empty.addAction(QIcon(":/img/add.png"), tr("add-contact"), this, &WidgetContacts::onAdd);
    empty.addSeparator();
    empty.addAction(QIcon(":/img/export.png"), tr("export-contacts"), this,
                    &WidgetContacts::onExport);
    empty.addAction(QIcon(":/img/import.png"), tr("import-contacts"), this,
                    &WidgetContacts::onImport);

    QMenu& row = rowMenu();
    row.clear();
    row.addAction(QIcon(":/img/call.png"), tr("call"), this, &WidgetContacts::onCall);
    row.addSeparator();
    row.addAction(QIcon(":/img/edit.png"), tr("edit-contact"), this, &WidgetContacts::onEdit);
    row.addAction(QIcon(":/img/remove.png"), tr("remove-contact"), this, &WidgetContacts::onRemove);
    row.addSeparator();
    row.addAction(QIcon(":/img/add.png"), tr("add-contact"), this, &WidgetContacts::onAdd);
    row.addSeparator();
    row.addAction(QIcon(":/img/export.png"), tr("export-contacts"), this,
                  &WidgetContacts::onExport);
    row.addAction(QIcon(":/img/import.png"), tr("import-contacts"), this,
                  &WidgetContacts::onImport);
}

void WidgetContacts::makeDialog()
{
    dialog_ = std::make_unique<ContactDialog>("WidgetContacts");
    connect(dialog_->saveButton(), &QPushButton::clicked, this, &WidgetContacts::onSave);
}

void WidgetContacts::retranslate()
{
    buildMenus();
    add_->setText(tr("add-contact"));
    // The contact dialog is made again in the new language, unless it is open.
    if (!dialog_->isVisible())
        makeDialog();
    UpdateData();
}

void WidgetContacts::UpdateData()
{
    std::cout << "Update Data for Contacts" << std::endl;
    clearRows();
    ContactStore* store = context_.contacts();
    if (!store)
        return;
    int number = 0;
    for (const Contact& contact : store->contacts()) {
        const QStringList lines = {
            tr("name") + ": " + contact.name,         tr("ip-address") + ": " + contact.ip,
            tr("organization") + ": " + contact.org,  tr("address") + ": " + contact.address,
            tr("protocol") + ": " + contact.protocol,
        };
        appendRow(new QStandardItem(QString::number(++number)), contact.name, contact.ip,
                  lines.join('\n'));
    }
}

void WidgetContacts::onContextMenu(QPoint point)
{
    showContextMenu(point);
}

void WidgetContacts::onCall()
{
    callSelected();
}

void WidgetContacts::onAdd()
{
    dialog_->setWindowTitle(tr("add-contact"));
    editIndex_ = -1;
    dialog_->setContact(Contact{});
    dialog_->exec();
}

void WidgetContacts::onEdit()
{
    const int row = selectedRow();
    ContactStore* store = context_.contacts();
    if (row < 0 || !store || row >= store->contacts().size())
        return;
    dialog_->setWindowTitle(tr("edit-contact"));
    editIndex_ = row;
    dialog_->setContact(store->contacts().at(row));
    dialog_->exec();
}

void WidgetContacts::onRemove()
{
    const int row = selectedRow();
    ContactStore* store = context_.contacts();
    if (row < 0 || !store)
        return;
    if (!confirm(tr("remove-contact"), tr("are-you-sure") + "?"))
        return;
    store->removeContact(row);
    UpdateData();
}

void WidgetContacts::onSave()
{
    ContactStore* store = context_.contacts();
    if (!store || !dialog_->checkFields())
        return;
    const Contact contact = dialog_->contact();
    if (editIndex_ >= 0)
        store->updateContact(editIndex_, contact);
    else
        store->addContact(contact.name, contact.ip, contact.org, contact.address, contact.protocol);
    UpdateData();
    dialog_->accept();
}

void WidgetContacts::onExport()
{
    ContactStore* store = context_.contacts();
    if (!store)
        return;
    // The documents folder (the home folder when there is none), never the folder the
    // program happened to start in.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    const QString path = filedialog::ask(this, tr("export-contacts"),
                                         folder + "/KxPhone_Contacts.xml", tr("xml-files"), true);
    if (path.isEmpty())
        return;
    if (!store->exportContacts(path))
        emit fileProblem(tr("export-failed").arg(path));
}

void WidgetContacts::onImport()
{
    ContactStore* store = context_.contacts();
    if (!store)
        return;
    if (!confirm(tr("import-contacts"), tr("erase-all-contacts") + ". " + tr("are-you-sure") + "?"))
        return;
    const QString path =
        filedialog::ask(this, tr("import-contacts"), QString(), tr("xml-files"), false);
    // A file that is not a contacts file leaves the list as it was, and says so.
    if (!path.isEmpty() && !store->importContacts(path))
        emit fileProblem(tr("import-failed").arg(path));
    UpdateData();
}
