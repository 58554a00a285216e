#include "consolereport.h"

#include <QTest>

class tst_ConsoleReport : public QObject
{
    Q_OBJECT

private slots:
    void json_data();
    void json();
};

void tst_ConsoleReport::json_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("nothing-to-update") << true << false << QString()
                                       << QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":false}");
    QTest::newRow("forced-update") << true << true << QString()
                                   << QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":true}");
    QTest::newRow("raw-utf8") << false << false << QStringLiteral("升级程序已运行")
                              << QByteArray("{\"errormsg\":\"\xe5\x8d\x87\xe7\xba\xa7\xe7\xa8\x8b\xe5\xba\x8f\xe5\xb7\xb2\xe8\xbf\x90\xe8\xa1\x8c\",\"success\":false,\"update\":false}");
    QTest::newRow("quote-and-backslash") << false << false << QStringLiteral("a\"b\\c")
                                         << QByteArray("{\"errormsg\":\"a\\\"b\\\\c\",\"success\":false,\"update\":false}");
    QTest::newRow("control-characters") << false << false << QStringLiteral("line\nnext\ttab\x01")
                                        << QByteArray("{\"errormsg\":\"line\\nnext\\ttab\\u0001\",\"success\":false,\"update\":false}");
}

void tst_ConsoleReport::json()
{
    QFETCH(bool, success);
    QFETCH(bool, update);
    QFETCH(QString, message);
    QFETCH(QByteArray, bytes);
    QCOMPARE(consoleResultJson(success, update, message), bytes);
}

QTEST_GUILESS_MAIN(tst_ConsoleReport)
#include "tst_consolereport.moc"
