#ifndef UILANGUAGE_H
#define UILANGUAGE_H

#include <QString>
#include <QStringList>

class QTranslator;

// The languages the dialogs and reports speak. The source texts are Chinese in simplified
// characters and need no catalog; every other language is a catalog compiled into the updater
// (translations/, embedded as ":/translations/updater_NAME.qm").

// the names of the embedded catalogs, such as "en" and "zh_TW"
QStringList shippedLanguages();

// The catalog a value of Language= picks, one of shippedLanguages(), or empty for the source
// texts: empty for an empty value; for "auto" the first of uiLanguages (the user's, most
// preferred first) that is the source language or has a catalog; otherwise the catalog of that
// name ("en", "zh_TW", also "en_US" or "zh-Hant"). A value that names no catalog picks the
// source texts: it is never used to find a file.
QString chooseLanguage(const QString &value, const QStringList &uiLanguages);

// Installs into the application the catalog that value picks, with the user's UI languages for
// "auto"; false when the source texts stay. Called before any text is made.
bool installLanguage(QTranslator &translator, const QString &value);

#endif // UILANGUAGE_H
