#include "ui/filedialog.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QIdentityProxyModel>

#include "ui/language.h"

namespace filedialog {

namespace {

/// The dialog's file list with sizes and dates written as the interface's language writes
/// them ("4 byte", "07/12/2026 10:00" in Vietnamese) rather than in the system's.
class LocalisedFiles : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || !index.isValid())
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        switch (index.column()) {
        case SizeColumn:
            if (!files->isDir(source))
                return kxlanguage::locale().formattedDataSize(files->size(source));
            break;
        case DateColumn:
            return kxlanguage::locale().toString(files->lastModified(source), QLocale::ShortFormat);
        default:
            break;
        }
        return QIdentityProxyModel::data(index, role);
    }

private:
    // The file system model's columns: name, size, type, date modified.
    static constexpr int SizeColumn = 1;
    static constexpr int DateColumn = 3;
};

} // namespace

QString ask(QWidget* parent, const QString& title, const QString& start, const QString& filter,
            bool save)
{
    // Qt's own dialog, which speaks the interface's language; a desktop's dialog would speak
    // the system's.
    QFileDialog dialog(parent, title, start, filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setProxyModel(new LocalisedFiles(&dialog));
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

} // namespace filedialog
