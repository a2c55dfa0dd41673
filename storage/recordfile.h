#pragma once

#include <QList>
#include <QString>
#include <QStringList>

/// The XML file shared by the contacts and recent-calls stores: a flat list of records,
/// each an element whose fields are attributes.
///
///     <!DOCTYPE XML>
///     <Contacts>
///      <Contact name="Ann" ip="10.0.0.7" org="" address="" protocol="H.323"/>
///     </Contacts>
///
/// UTF-8, no XML declaration, one space of indentation per level.
namespace recordfile {

/// Describes one file kind: root tag, record tag and the attribute names in field order.
struct Layout
{
    QString rootTag;
    QString recordTag;
    QStringList fields;
    /// Fields added later, after `fields`: written only when they have a value, so a
    /// record without them keeps the file text older versions wrote.
    QStringList optionalFields = {};
};

/// Reads `path`. Returns false, leaving `records` untouched, when the file cannot be
/// opened, is not well-formed XML or has another root element. Otherwise `records` holds
/// one entry per record element in document order, each with one value per field and then
/// per optional field (empty when the attribute is absent); other nodes are skipped.
bool read(const QString& path, const Layout& layout, QList<QStringList>& records);

/// The file text for `records` (each with one value per field; missing values are empty).
/// Characters XML 1.0 cannot carry (control characters other than tab, line feed and
/// carriage return, lone surrogates) are left out, so the file always reads back.
QByteArray format(const Layout& layout, const QList<QStringList>& records);

/// Replaces `path` with `format(...)` atomically: the text goes to a temporary file in the
/// same folder that is renamed over `path` only once completely written, so a failure
/// never leaves a truncated file. Creates the folder when missing. Returns false when
/// anything fails; the old file is then unchanged.
bool write(const QString& path, const Layout& layout, const QList<QStringList>& records);

} // namespace recordfile
