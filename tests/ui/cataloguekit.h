#pragma once

// The texts a test compares with the catalogues: what widgets show, and what the catalogue
// files hold.

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSet>
#include <QStringList>
#include <QTabWidget>
#include <QTreeView>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace kx::testutil {

/// Every text a widget and its children show: labels, buttons, placeholders, tool tips,
/// group titles, window titles, combo items, header labels, actions and menus.
inline QStringList visibleTexts(QWidget& root)
{
    QStringList texts;
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets << &root;
    for (QWidget* w : widgets) {
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        if (auto* line = qobject_cast<QLineEdit*>(w))
            texts << line->placeholderText();
        if (auto* group = qobject_cast<QGroupBox*>(w))
            texts << group->title();
        if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        if (auto* view = qobject_cast<QTreeView*>(w))
            for (int c = 0; c < view->model()->columnCount(); ++c)
                texts << view->model()->headerData(c, Qt::Horizontal).toString();
        if (auto* box = qobject_cast<QMessageBox*>(w))
            texts << box->text() << box->informativeText();
        if (auto* tabs = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i);
        if (w->isWindow())
            texts << w->windowTitle();
        texts << w->toolTip();
        for (QAction* action : w->actions())
            texts << action->text() << action->statusTip();
    }
    for (QMenu* menu : root.findChildren<QMenu*>())
        for (QAction* action : menu->actions())
            texts << action->text();
    texts.removeAll(QString());
    return texts;
}

/// The translations of a catalogue file, read as XML (not through Qt's translator).
inline QSet<QString> catalogueTexts(const QString& file)
{
    QSet<QString> texts;
    QFile ts(QString(KX_SOURCE_DIR) + "/resources/locale/" + file);
    EXPECT_TRUE(ts.open(QIODevice::ReadOnly)) << file.toStdString();
    QXmlStreamReader xml(&ts);
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("translation"))
            texts << xml.readElementText();
    return texts;
}

} // namespace kx::testutil
