#pragma once

#include <QLocale>
#include <QString>

class QTranslator;

namespace kxlanguage {

/// The Qt catalogue's language for one of ours ("vn" → "vi", "en" → "en"); empty for any
/// other value.
QString qtLanguageFor(const QString& language);

/// Puts the catalogues of `language` ("en", "vn") in place of those this function
/// installed before: Qt's own (or ours standing in for it, where the system has none) and
/// the interface's.  Qt then tells every widget (LanguageChange).  An unknown language
/// installs none.  Returns the interface's catalogue (null for none).  GUI thread.
QTranslator* apply(const QString& language);

/// The locale dates and numbers are written in: the interface language's where its
/// catalogue names one (Vietnamese: vi_VN), the system's otherwise.
QLocale locale();

} // namespace kxlanguage
