#include "uilanguage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

#include <algorithm>

// The catalogs compiled into the updater against the texts of its sources, as lupdate finds
// them there at build time (SOURCE_TEXTS_TS), and the choice that Language= makes among them.
class tst_Translations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void complete_data();
    void complete();
    void choice_data();
    void choice();

private:
    struct SourceText
    {
        QString context;
        QString source;
    };
    QList<SourceText> sourceTexts;
};

void tst_Translations::initTestCase()
{
    QFile file(QStringLiteral(SOURCE_TEXTS_TS));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName() + file.errorString()));
    QXmlStreamReader xml(&file);
    QString context;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.isStartElement() && xml.name() == QLatin1String("source"))
            sourceTexts.append({context, xml.readElementText()});
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    // the dialogs' and the reports' texts; a broken extraction finds few or none
    QVERIFY2(sourceTexts.size() > 80, qPrintable(QString::number(sourceTexts.size())));
}

void tst_Translations::complete_data()
{
    QTest::addColumn<QString>("language");
    const QStringList shipped = shippedLanguages();
    for (const char *promised : {"en", "zh_TW"})
        QVERIFY2(shipped.contains(QLatin1String(promised)), promised);
    for (const QString &language : shipped)
        QTest::newRow(qPrintable(language)) << language;
}

// every source text has a finished translation, with the same places for the values filled in
void tst_Translations::complete()
{
    QFETCH(QString, language);
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/translations/updater_%1.qm").arg(language)));
    const QRegularExpression placeholder(QStringLiteral("%\\d"));
    const auto placeholders = [&](const QString &text) {
        QStringList found;
        for (auto it = placeholder.globalMatch(text); it.hasNext();)
            found.append(it.next().captured());
        std::sort(found.begin(), found.end());
        return found;
    };
    QStringList missing;
    for (const SourceText &text : qAsConst(sourceTexts)) {
        const QString translation = translator.translate(
            text.context.toUtf8().constData(), text.source.toUtf8().constData());
        if (translation.isEmpty())
            missing.append(text.context + QLatin1String(": ") + text.source);
        else if (placeholders(translation) != placeholders(text.source))
            missing.append(text.context + QLatin1String(": ") + text.source
                           + QLatin1String(" (placeholders of ") + translation + QLatin1Char(')'));
    }
    QVERIFY2(missing.isEmpty(),
             qPrintable(QStringLiteral("run tools/update-translations.sh and translate:\n")
                        + missing.join(QLatin1Char('\n'))));
}

void tst_Translations::choice_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("catalog"); // empty: the source texts

    QTest::newRow("empty") << "" << QStringList{"en-US"} << "";
    QTest::newRow("en") << "en" << QStringList() << "en";
    QTest::newRow("case-and-blanks") << " EN " << QStringList() << "en";
    QTest::newRow("country-variant") << "en_GB" << QStringList() << "en";
    QTest::newRow("zh-TW-dash") << "zh-TW" << QStringList() << "zh_TW";
    QTest::newRow("hong-kong") << "zh_HK" << QStringList() << "zh_TW";
    QTest::newRow("source-named") << "zh_CN" << QStringList() << "";
    QTest::newRow("not-shipped") << "fr" << QStringList() << "";
    QTest::newRow("path") << "../en" << QStringList() << "";
    QTest::newRow("auto-first-known") << "auto" << QStringList{"de-DE", "en-US"} << "en";
    QTest::newRow("auto-source-first") << "auto" << QStringList{"zh-Hans-CN", "en-US"} << "";
    QTest::newRow("auto-traditional") << "Auto" << QStringList{"zh-Hant-TW"} << "zh_TW";
    QTest::newRow("auto-none") << "auto" << QStringList{"fr-FR"} << "";
    QTest::newRow("auto-nothing") << "auto" << QStringList() << "";
}

void tst_Translations::choice()
{
    QFETCH(QString, value);
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, catalog);
    QCOMPARE(chooseLanguage(value, uiLanguages), catalog);
}

QTEST_GUILESS_MAIN(tst_Translations)
#include "tst_translations.moc"
