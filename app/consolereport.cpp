#include "consolereport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

QByteArray consoleResultJson(bool success, bool update, const QString &errormsg)
{
    QJsonObject report;
    report.insert(QStringLiteral("success"), success);
    report.insert(QStringLiteral("update"), update);
    report.insert(QStringLiteral("errormsg"), errormsg);
    return QJsonDocument(report).toJson(QJsonDocument::Compact);
}

void printConsoleResult(bool success, bool update, QString errormsg)
{
    const QByteArray bytes = consoleResultJson(success, update, errormsg);
    // the caller reads the report; a failed write has nobody to be reported to
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}
