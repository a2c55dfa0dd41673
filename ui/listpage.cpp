#include "ui/listpage.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "ui/uicontext.h"

ListPage::ListPage(const UiContext& context, const char* catalogueContext, const char* titleKey,
                   QWidget* parent)
    : QWidget(parent)
    , context_(context)
    , catalogueContext_(catalogueContext)
    , titleKey_(titleKey)
{
    auto* layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignTop);
    layout->setContentsMargins(0, 10, 0, 0);

    title_ = new QLabel();
    title_->setAlignment(Qt::AlignCenter);
    title_->setObjectName("labelDockTitle");
    layout->addWidget(title_);

    model_ = new QStandardItemModel(0, 3, this);
    setFrameTexts();
    view_ = new QTreeView();
    view_->setModel(model_);
    // The icon keeps its width; the name takes what the others leave, so that it is cut
    // only where the list is narrow, and the list grows with the window.
    view_->setColumnWidth(0, 20);
    view_->header()->setSectionResizeMode(0, QHeaderView::Fixed);
    view_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    view_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    view_->header()->setStretchLastSection(false);
    view_->setIndentation(0);
    view_->setAlternatingRowColors(true);
    view_->setSortingEnabled(false);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    // A double click or Enter calls the row; Delete removes it.
    connect(view_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            callSelected();
    });
    view_->installEventFilter(this);
    layout->addWidget(view_);
}

void ListPage::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::LanguageChange)
        return;
    setFrameTexts();
    retranslate();
}

void ListPage::setFrameTexts()
{
    title_->setText(QCoreApplication::translate(catalogueContext_, titleKey_));
    QStringList headers{QString(), QCoreApplication::translate(catalogueContext_, "name"),
                        QCoreApplication::translate(catalogueContext_, "ip-address")};
    if (extraHeader_)
        headers << QCoreApplication::translate(catalogueContext_, extraHeader_);
    model_->setHorizontalHeaderLabels(headers);
}

void ListPage::addColumn(const char* headerKey)
{
    extraHeader_ = headerKey;
    model_->setColumnCount(4);
    setFrameTexts();
    view_->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
}

bool ListPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::KeyPress && selectedRow() >= 0) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            callSelected();
            return true;
        }
        if (key == Qt::Key_Delete) {
            removeAsked();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool ListPage::confirm(const QString& text, const QString& informativeText)
{
    QMessageBox box;
    box.setIcon(QMessageBox::Question);
    box.setIconPixmap(QPixmap(":/img/help.png"));
    box.setText(text);
    box.setInformativeText(informativeText);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

int ListPage::selectedRow() const
{
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void ListPage::showContextMenu(const QPoint& point)
{
    QMenu& menu = view_->selectionModel()->hasSelection() ? rowMenu_ : emptyMenu_;
    menu.exec(view_->viewport()->mapToGlobal(point));
}

void ListPage::callSelected()
{
    const int row = selectedRow();
    KxManager* manager = context_.manager();
    if (row < 0 || !manager)
        return;
    const QString refusal = manager->placeCall(model_->item(row, 2)->text(), true);
    if (!refusal.isEmpty())
        emit callRefused(refusal);
}

void ListPage::clearRows()
{
    model_->removeRows(0, model_->rowCount());
}

void ListPage::appendRow(QStandardItem* first, const QString& name, const QString& address,
                         const QString& toolTip, const QString& extra)
{
    QList<QStandardItem*> cells = {first, new QStandardItem(name), new QStandardItem(address)};
    if (extraHeader_)
        cells << new QStandardItem(extra);
    for (QStandardItem* cell : cells) {
        cell->setEditable(false);
        cell->setToolTip(toolTip);
    }
    model_->appendRow(cells);
}
