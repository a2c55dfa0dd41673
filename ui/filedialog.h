#pragma once

#include <QString>

class QWidget;

namespace filedialog {

/// Asks for a file to read (`save` false) or to write, in the interface's language
/// throughout: the dialog's own texts, and the sizes and dates of the files in the
/// language's locale.  Returns the chosen path, empty when the user cancelled.
QString ask(QWidget* parent, const QString& title, const QString& start, const QString& filter,
            bool save);

} // namespace filedialog
