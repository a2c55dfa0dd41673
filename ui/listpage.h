#pragma once

#include <QMenu>
#include <QWidget>

class QLabel;
class QStandardItem;
class QStandardItemModel;
class QTreeView;
struct UiContext;

/// What the contacts and history pages share: the title, the three-column list of their
/// store (row i shows element i of the store's list), the two context menus and the
/// confirmation box.  GUI thread only.
class ListPage : public QWidget
{
    Q_OBJECT

public:
    QTreeView* view() const { return view_; }
    QStandardItemModel* model() const { return model_; }
    QMenu& rowMenu() { return rowMenu_; }
    QMenu& emptyMenu() { return emptyMenu_; }

    /// The yes/no question both pages ask before they erase; true for Yes.
    static bool confirm(const QString& text, const QString& informativeText);

signals:
    /// The manager refused to place a call picked on this page, and says why.
    void callRefused(const QString& reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    /// Delete pressed on a selected row: removes it after asking.
    virtual void removeAsked() = 0;
    /// The page's own texts again, after the language changed (the frame's are done).
    virtual void retranslate() = 0;

    /// Builds the frame; `context` is the catalogue context of the page's texts.
    ListPage(const UiContext& context, const char* catalogueContext, const char* titleKey,
             QWidget* parent);

    /// The selected row, or -1 without a selection.
    int selectedRow() const;
    /// Shows the row menu when a row is selected, else the empty-selection menu.
    void showContextMenu(const QPoint& point);
    /// Places a call to column 2 (the address) of the selected row.
    void callSelected();
    /// Removes every row, then appends one row of three cells, non-editable, each with
    /// `toolTip`.  The cells are handed over.
    void clearRows();
    /// A column after the address, headed by the catalogue text `headerKey` (the
    /// history's date).
    void addColumn(const char* headerKey);
    void appendRow(QStandardItem* first, const QString& name, const QString& address,
                   const QString& toolTip, const QString& extra = {});

    const UiContext& context_;

private:
    /// The title and the column headers, in the present language.
    void setFrameTexts();

    const char* catalogueContext_;
    const char* titleKey_;
    QLabel* title_ = nullptr;
    QTreeView* view_ = nullptr;
    const char* extraHeader_ = nullptr; ///< the extra column's catalogue key, when there is one
    QStandardItemModel* model_ = nullptr;
    QMenu rowMenu_;
    QMenu emptyMenu_;
};
