#include "updatecheck.h"

#include "app/plainini.h"
#include "app/relaunch.h"
#include "net/changedetection.h"
#include "net/httprequest.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSettings>

namespace {
constexpr int FetchTimeoutSeconds = 5;
// far above any real descriptor or manifest (some 800,000 files), far below what fills memory
constexpr qint64 MaxFetchedBody = 64 * 1024 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

bool fetch(const UpdateContext &context, const QString &url, QByteArray &body, QString &error)
{
    return httpRequest(context.manager, QUrl(url, QUrl::TolerantMode), body, error,
        FetchTimeoutSeconds, {}, QByteArrayLiteral("GET"), QByteArray(), nullptr, MaxFetchedBody);
}

AttemptResult runAttempt(const UpdateContext &context, UpdateFrontend &frontend)
{
    context.manager->clearAccessCache();
    QByteArray body;
    QString error;

    const QString descriptorText = descriptorUrl(context.baseUrl);
    const QUrl descriptor(descriptorText, QUrl::TolerantMode);
    if (!descriptor.isValid()) {
        frontend.reportFatal(
            tr("配置错误"), tr("升级描述文件地址不合法:%1").arg(descriptor.toString()));
        return AttemptResult::NotInstalled;
    }
    const auto failed = [&frontend](const QString &message) {
        return frontend.reportFailure(message) ? AttemptResult::NewAttempt
                                               : AttemptResult::NotInstalled;
    };

    if (!fetch(context, descriptorText, body, error))
        return failed(tr("下载升级描述文件失败:%1").arg(error));

    const QString savedPath = context.cacheDir.absoluteFilePath(QStringLiteral("update.ini"));
    {
        // a descriptor that was not saved whole (a full disk) would be read back as the
        // defaults, a forced update from "Base": that is a failure to save it
        QFile saved(savedPath);
        if (!saved.open(QIODevice::ReadWrite | QIODevice::Truncate)
            || saved.write(body) != body.size() || !saved.flush())
            return failed(tr("创建文件[%1]失败:%2").arg(savedPath, saved.errorString()));
    }
    const UpdateDescriptor values = readDescriptor(savedPath);

    const QString folder = folderUrl(context.baseUrl, values.folder);
    if (!fetch(context, manifestUrl(folder), body, error))
        return failed(tr("下载更新列表文件失败:%1").arg(error));

    const Manifest changes = detectChanges(parseManifest(body), context.installRoot);
    frontend.reportComparison(!changes.isEmpty() && values.updateType != 0);
    if (changes.isEmpty()) {
        writeFileBytes(context.installRoot.absoluteFilePath(appliedManifestName()), body);
        return AttemptResult::NotInstalled;
    }
    return applyUpdate(context, frontend, changes, body, values.updateType, values.version, folder);
}
} // namespace

UpdateDescriptor readDescriptor(const QString &path)
{
    // read from the file each time: QSettings would keep what it read of a path and could hand a
    // retry the values of a descriptor of the same size saved within the same millisecond; the
    // values are read as text, never decoded into objects (the file comes from the network)
    QSettings::SettingsMap values;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        readPlainIni(file, values);
    UpdateDescriptor descriptor;
    // a value that is not a whole number reads as 0, an optional update
    descriptor.updateType = plainIniValue(values, QStringLiteral("Summary/UpdateType"), 1).toInt();
    descriptor.folder
        = plainIniValue(values, QStringLiteral("Version/Folder"), QStringLiteral("Base"))
              .toString();
    descriptor.version = plainIniValue(values, QStringLiteral("Version/Version")).toString();
    return descriptor;
}

QString descriptorUrl(const QString &baseUrl)
{
    return baseUrl + QLatin1String("/update.ini");
}

QString folderUrl(const QString &baseUrl, const QString &folder)
{
    return baseUrl + folder + QLatin1Char('/');
}

QString manifestUrl(const QString &folderUrl)
{
    return folderUrl + QLatin1String("/md5.txt");
}

int runUpdateCheck(const UpdateContext &context, UpdateFrontend &frontend)
{
    for (;;) {
        const AttemptResult result = runAttempt(context, frontend);
        if (result == AttemptResult::NewAttempt)
            continue;
        if (frontend.relaunchesHost(result))
            relaunchHost(context.hostProgram);
        return result == AttemptResult::NotInstalled ? 1 : 0;
    }
}

bool writeFileBytes(QString path, QByteArray bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    file.write(bytes);
    file.close();
    return true;
}
