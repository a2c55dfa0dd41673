#include "ui/language.h"

#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kxlanguage {

namespace {

std::vector<std::unique_ptr<QTranslator>>& installed()
{
    static std::vector<std::unique_ptr<QTranslator>> translators;
    return translators;
}

QTranslator* install(std::unique_ptr<QTranslator> translator)
{
    QCoreApplication::installTranslator(translator.get());
    installed().push_back(std::move(translator));
    return installed().back().get();
}

} // namespace

QString qtLanguageFor(const QString& language)
{
    if (language == "vn")
        return "vi";
    if (language == "en")
        return "en";
    return {};
}

QLocale locale()
{
    // The catalogue says which locale goes with its language; "system" (English) and no
    // catalogue leave the system's.
    const QString name = QCoreApplication::translate("kxlanguage", "locale");
    return name.isEmpty() || name == "locale" || name == "system" ? QLocale::system()
                                                                  : QLocale(name);
}

QTranslator* apply(const QString& language)
{
    for (auto& translator : installed())
        QCoreApplication::removeTranslator(translator.get());
    installed().clear();

    const QString qtCode = qtLanguageFor(language);
    if (qtCode.isEmpty())
        return nullptr;
    // Qt's own catalogue, so that standard buttons follow the interface language.  Debian's
    // Qt has no Vietnamese one: the standard buttons, the file dialog and the line edit's
    // menu then come from ours.
    auto qt = std::make_unique<QTranslator>();
    if (qt->load("qtbase_" + qtCode, QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        install(std::move(qt));
    else if (qtCode == "vi" && qt->load(":/locale/qt_vn.qm"))
        install(std::move(qt));

    auto ours = std::make_unique<QTranslator>();
    if (!ours->load(":/locale/" + language + ".qm"))
        return nullptr;
    return install(std::move(ours));
}

} // namespace kxlanguage
