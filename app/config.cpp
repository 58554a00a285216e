#include "config.h"

#include "pathtrust.h"
#include "plainini.h"

#include <QFileInfo>
#include <QSettings>

#include <limits>

RunMode runModeFromArgument(const QString &argument)
{
    if (argument.compare(QLatin1String("console"), Qt::CaseInsensitive) == 0)
        return RunMode::Console;
    if (argument.compare(QLatin1String("restart"), Qt::CaseInsensitive) == 0)
        return RunMode::Relaunch;
    if (argument.compare(QLatin1String("rollback"), Qt::CaseInsensitive) == 0)
        return RunMode::Rollback;
    if (argument == healthWatchArgument())
        return RunMode::HealthWatch;
    return RunMode::Interactive;
}

QString healthWatchArgument()
{
    return QStringLiteral("--health-watch");
}

QString configFileName()
{
    return QStringLiteral("system.cfg");
}

UpdaterConfig readConfig(const QString &updaterDir)
{
    const QDir dir(updaterDir);
    // values are read as text, never decoded into objects (see plainini.h)
    QSettings settings(dir.absoluteFilePath(configFileName()), plainIniFormat());
    settings.beginGroup(QStringLiteral("Update"));

    UpdaterConfig config;
    config.baseUrl = settings.value(QStringLiteral("URL")).toString();
    config.downloadUrl = settings.value(QStringLiteral("DownLoadUrl")).toString();
    config.cachePath
        = settings.value(QStringLiteral("Cache"), dir.absoluteFilePath(QStringLiteral("update")))
              .toString();
    config.hostProgram
        = settings.value(QStringLiteral("ExeName"), QStringLiteral("Host.exe")).toString();
    // a relative host name always lies beside the updater, whatever the "bin" rule decides
    if (QFileInfo(config.hostProgram).isRelative())
        config.hostProgram = dir.absoluteFilePath(config.hostProgram);
    // Trust and time limits come from this file only, never from the environment: a user can
    // set the environment of an updater that runs with administrator rights, not this file.
    // A relative certificate file lies beside the updater, like the host.
    config.caCertificates = settings.value(QStringLiteral("CaCertificates")).toString();
    if (!config.caCertificates.isEmpty() && QFileInfo(config.caCertificates).isRelative())
        config.caCertificates = dir.absoluteFilePath(config.caCertificates);
    // a value that is not a whole number in range leaves the default
    const auto number
        = [&settings](const char *key, qint64 lowest, qint64 highest, qint64 fallback) {
              bool ok = false;
              const qint64 value
                  = settings.value(QLatin1String(key)).toString().trimmed().toLongLong(&ok);
              return ok && value >= lowest && value <= highest ? value : fallback;
          };
    TransferSettings &transfer = config.transfer;
    transfer.stallTimeout
        = int(number("StallTimeout", 1, std::numeric_limits<int>::max(), transfer.stallTimeout));
    // a vendor's number of transfers holds over either protocol
    if (const int transfers = int(number("Transfers", 1, 64, 0)))
        transfer.transfers = transfer.http2Transfers = transfers;
    transfer.minimumRate = number(
        "MinimumRate", 0, std::numeric_limits<qint64>::max() / 1000000, transfer.minimumRate);
    // in seconds
    transfer.rateWindow
        = int(number("MinimumRateWindow", 1, 24 * 60 * 60, transfer.rateWindow / 1000) * 1000);
    // the proxy from this file, or else the system's settings (net/proxyaccess.h): on Windows
    // WinHTTP's and the Internet Options, which Qt reads there in place of any environment variable
    config.proxy = settings.value(QStringLiteral("Proxy")).toStringList().join(QLatin1Char(','));
    // commas would make a list of the value: joined again, every key is kept
    config.publicKeys
        = settings.value(QStringLiteral("PublicKeys")).toStringList().join(QLatin1Char(' '));
    config.reportUrl = settings.value(QStringLiteral("ReportUrl")).toString().trimmed();
    // only picks among the catalogs compiled in, whatever it says
    config.language = settings.value(QStringLiteral("Language")).toString().trimmed();
    // a day at most: a watch is for a start that fails, not for the host's whole life
    config.healthCheck = int(number("HealthCheck", 0, 24 * 60 * 60, 0));
    return config;
}

QDir prepareInstallRoot(const QString &updaterDir)
{
    QDir root(updaterDir);
    if (root.isRelative())
        root.makeAbsolute();
    if (!root.exists())
        root.mkpath(QStringLiteral("."));
    if (root.dirName().compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0)
        root.cdUp();
    return root;
}

QDir prepareCacheDir(const QString &cachePath)
{
    QDir cache(cachePath);
    if (cache.isRelative())
        cache.makeAbsolute();
    if (!cache.exists()) {
        // the directories above as usual, the cache itself private to this user: what lies in
        // it is installed with administrator rights
        const QString path = QDir::cleanPath(cache.absolutePath());
        QDir().mkpath(QFileInfo(path).absolutePath());
        // should that fail, a plain directory: each attempt refuses it unless it is safe anyway
        if (!createPrivateDirectory(path))
            QDir().mkdir(path);
    }
    return cache;
}
