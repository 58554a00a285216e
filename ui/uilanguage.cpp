#include "uilanguage.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QTranslator>

#include <optional>

namespace {
const QLatin1String catalogPrefix("updater_");
const QLatin1String catalogSuffix(".qm");

QString catalogPath(const QString &language)
{
    return QStringLiteral(":/translations/") + catalogPrefix + language + catalogSuffix;
}

// The catalog for one language tag: empty for the source language, none for a language without
// a catalog.
std::optional<QString> catalogFor(const QString &tag, const QStringList &shipped)
{
    QString name = tag.trimmed();
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    for (const QString &language : shipped) {
        if (language.compare(name, Qt::CaseInsensitive) == 0)
            return language;
    }
    const QLocale locale(name);
    if (name.isEmpty() || locale.language() == QLocale::C)
        return std::nullopt;
    if (locale.language() == QLocale::Chinese) {
        // the source texts are in simplified characters; Taiwan, Hong Kong and Macao read
        // traditional ones
        if (locale.script() != QLocale::TraditionalChineseScript)
            return QString();
        if (shipped.contains(QLatin1String("zh_TW")))
            return QStringLiteral("zh_TW");
        return std::nullopt;
    }
    // a country's variant, else the language alone ("en_GB", then "en")
    for (const QString &candidate :
        {locale.name(), locale.name().section(QLatin1Char('_'), 0, 0)}) {
        if (shipped.contains(candidate))
            return candidate;
    }
    return std::nullopt;
}
} // namespace

QStringList shippedLanguages()
{
    QStringList languages;
    const QStringList files = QDir(QStringLiteral(":/translations"))
                                  .entryList({catalogPrefix + QLatin1Char('*') + catalogSuffix},
                                      QDir::Files, QDir::Name);
    for (const QString &file : files)
        languages.append(file.mid(
            catalogPrefix.size(), file.size() - catalogPrefix.size() - catalogSuffix.size()));
    return languages;
}

QString chooseLanguage(const QString &value, const QStringList &uiLanguages)
{
    const QString wanted = value.trimmed();
    if (wanted.isEmpty())
        return QString();
    const QStringList shipped = shippedLanguages();
    if (wanted.compare(QLatin1String("auto"), Qt::CaseInsensitive) != 0)
        return catalogFor(wanted, shipped).value_or(QString());
    for (const QString &tag : uiLanguages) {
        if (const std::optional<QString> catalog = catalogFor(tag, shipped))
            return *catalog;
    }
    return QString();
}

bool installLanguage(QTranslator &translator, const QString &value)
{
    const QString language = chooseLanguage(value, QLocale::system().uiLanguages());
    if (language.isEmpty() || !translator.load(catalogPath(language)))
        return false;
    return QCoreApplication::installTranslator(&translator);
}
