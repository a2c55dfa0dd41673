#include "storage/recordfile.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamWriter>

namespace recordfile {
namespace {

bool allowedInXml(char32_t c)
{
    // XML 1.0 2.2 Char production.
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

QString xmlSafe(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            result += c;
            result += text[++i];
        } else if (!c.isSurrogate() && allowedInXml(c.unicode())) {
            result += c;
        }
    }
    return result;
}

} // namespace

bool read(const QString& path, const Layout& layout, QList<QStringList>& records)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QDomDocument document;
    if (!document.setContent(&file))
        return false;
    file.close();
    const QDomElement root = document.documentElement();
    if (root.tagName() != layout.rootTag)
        return false;

    QList<QStringList> loaded;
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QDomElement element = node.toElement();
        if (element.isNull() || element.tagName() != layout.recordTag)
            continue;
        QStringList values;
        for (const QString& field : layout.fields + layout.optionalFields)
            values << element.attribute(field);
        loaded << values;
    }
    records = loaded;
    return true;
}

QByteArray format(const Layout& layout, const QList<QStringList>& records)
{
    QByteArray body;
    QXmlStreamWriter writer(&body);
    writer.setCodec("UTF-8");
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(1);
    writer.writeStartElement(layout.rootTag);
    for (const QStringList& record : records) {
        writer.writeStartElement(layout.recordTag);
        for (int i = 0; i < layout.fields.size(); ++i)
            writer.writeAttribute(layout.fields[i], xmlSafe(record.value(i)));
        for (int i = 0; i < layout.optionalFields.size(); ++i)
            if (const QString value = record.value(layout.fields.size() + i); !value.isEmpty())
                writer.writeAttribute(layout.optionalFields[i], xmlSafe(value));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    // The writer starts its first element on a fresh line; the document type ends one already.
    if (body.startsWith('\n'))
        body.remove(0, 1);
    return "<!DOCTYPE XML>\n" + body;
}

bool write(const QString& path, const Layout& layout, const QList<QStringList>& records)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    // Unbuffered, so that a short write (full disk, size limit) shows in write()'s result:
    // a buffered QSaveFile in Qt 5.15 commits a truncated file when the final flush fails.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray text = format(layout, records);
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

} // namespace recordfile
