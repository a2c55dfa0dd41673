#include "ui/widgethistory.h"

#include <iostream>

#include <QDateTime>
#include <QIcon>
#include <QLocale>
#include <QPushButton>
#include <QStandardItem>
#include <QTreeView>

#include "KxPhone/kxmanager.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "ui/contactdialog.h"
#include "ui/language.h"
#include "ui/widgetcall.h"
#include "ui/uicontext.h"

WidgetHistory::WidgetHistory(const UiContext& context, QWidget* parent)
    : ListPage(context, "WidgetHistory", "history", parent)
{
    addColumn("date");
    makeDialog();
    connect(view(), &QTreeView::customContextMenuRequested, this, &WidgetHistory::onContextMenu);

    buildMenus();
}

WidgetHistory::~WidgetHistory() = default;

void WidgetHistory::buildMenus()
{
    emptyMenu().clear();
    emptyMenu().addAction(QIcon(":/img/clear.png"), tr("clear-history"), this,
                          &WidgetHistory::onClear);

    QMenu& row = rowMenu();
    row.clear();
    row.addAction(QIcon(":/img/call.png"), tr("call"), this, &WidgetHistory::onCall);
    row.addSeparator();
    row.addAction(QIcon(":/img/add.png"), tr("add-to-contacts"), this, &WidgetHistory::onAdd);
    row.addAction(QIcon(":/img/remove.png"), tr("remove-entry"), this, &WidgetHistory::onRemove);
    row.addSeparator();
    row.addAction(QIcon(":/img/clear.png"), tr("clear-history"), this, &WidgetHistory::onClear);
}

void WidgetHistory::makeDialog()
{
    dialog_ = std::make_unique<ContactDialog>("WidgetHistory");
    connect(dialog_->saveButton(), &QPushButton::clicked, this, &WidgetHistory::onSave);
}

void WidgetHistory::retranslate()
{
    buildMenus();
    // The contact dialog is made again in the new language, unless it is open.
    if (!dialog_->isVisible())
        makeDialog();
    UpdateData();
}

QString WidgetHistory::iconFor(const QString& flow, const QString& status)
{
    const bool failed = status == "failure";
    if (flow == "incoming")
        return failed ? ":/img/left_red.png" : ":/img/left_green.png";
    return failed ? ":/img/right_red.png" : ":/img/right_green.png";
}

QString WidgetHistory::dateOf(const Recent& recent, const QLocale& locale)
{
    // Kept as "dd/MM/yy hh:mm" in the file; shown in the language's own way, with the
    // year in full (a two-digit year reads as a day or a month in some orders).
    QDateTime when = QDateTime::fromString(recent.time, "dd/MM/yy hh:mm");
    if (!when.isValid())
        return recent.time;
    if (when.date().year() < 2000)
        when = when.addYears(100);
    QString format = locale.dateTimeFormat(QLocale::ShortFormat);
    if (!format.contains("yyyy"))
        format.replace("yy", "yyyy");
    return locale.toString(when, format);
}

QString WidgetHistory::durationOf(const Recent& recent)
{
    // Records that kept the seconds show them as the call toolbar does (a 40 s call is
    // "00:00:40", not "0 minutes"); older ones have only their whole minutes.
    bool ok = false;
    const qint64 seconds = recent.seconds.toLongLong(&ok);
    if (ok && seconds >= 0)
        return WidgetCall::durationText(seconds);
    return recent.duration + " " + tr("minutes");
}

void WidgetHistory::UpdateData()
{
    std::cout << "Update Data for History" << std::endl;
    clearRows();
    RecentStore* store = context_.recents();
    if (!store)
        return;
    for (const Recent& recent : store->recents()) {
        const QString why = KxManager::failureText(recent.reason);
        const QStringList lines = {
            tr("name") + ": " + recent.name,
            tr("address") + ": " + recent.ip,
            tr("time") + ": " + dateOf(recent, kxlanguage::locale()),
            tr("duration") + ": " + durationOf(recent),
            tr("protocol") + ": " + recent.protocol,
            tr("flow") + ": " + tr(recent.flow.toUtf8().constData()),
            tr("status") + ": " + tr(recent.status.toUtf8().constData()) +
                (why.isEmpty() ? QString() : " (" + why + ")"),
        };
        auto* icon = new QStandardItem(QIcon(iconFor(recent.flow, recent.status)), QString());
        appendRow(icon, recent.name, recent.ip, lines.join('\n'),
                  dateOf(recent, kxlanguage::locale()));
    }
}

void WidgetHistory::onContextMenu(QPoint point)
{
    showContextMenu(point);
}

void WidgetHistory::onCall()
{
    callSelected();
}

void WidgetHistory::onAdd()
{
    const int row = selectedRow();
    RecentStore* store = context_.recents();
    if (row < 0 || !store)
        return;
    const QList<Recent> recents = store->recents();
    if (row >= recents.size())
        return;
    dialog_->setWindowTitle(tr("add-contact"));
    dialog_->setContact(Contact{recents.at(row).name, recents.at(row).ip, {}, {}, {}});
    dialog_->exec();
}

void WidgetHistory::onRemove()
{
    const int row = selectedRow();
    if (RecentStore* store = context_.recents(); row >= 0 && store) {
        store->removeRecent(row);
        UpdateData();
    }
}

void WidgetHistory::removeAsked()
{
    if (confirm(tr("remove-entry"), tr("are-you-sure") + "?"))
        onRemove();
}

void WidgetHistory::onClear()
{
    RecentStore* store = context_.recents();
    if (!store || !confirm(tr("clear-history"), tr("are-you-sure") + "?"))
        return;
    store->clearRecents();
    UpdateData();
}

void WidgetHistory::onSave()
{
    ContactStore* contacts = context_.contacts();
    if (!contacts || !dialog_->checkFields())
        return;
    const Contact contact = dialog_->contact();
    contacts->addContact(contact.name, contact.ip, contact.org, contact.address, contact.protocol);
    UpdateData();
    dialog_->accept();
}
