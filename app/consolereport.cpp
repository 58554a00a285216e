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

namespace {
void (*consoleOutput)(const QByteArray &bytes) = nullptr;
} // namespace

void printConsoleResult(bool success, bool update, QString errormsg)
{
    writeConsoleOutput(consoleResultJson(success, update, errormsg));
}

void writeConsoleOutput(const QByteArray &bytes)
{
    if (consoleOutput) {
        consoleOutput(bytes);
        return;
    }
    // the caller reads the report; a failed write has nobody to be reported to
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void setConsoleOutput(void (*output)(const QByteArray &bytes))
{
    consoleOutput = output;
}
