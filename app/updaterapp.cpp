#include "updaterapp.h"

#include "config.h"
#include "consolefrontend.h"
#include "consolereport.h"
#include "cupdateerror.h"
#include "dialoglook.h"
#include "dialogfrontend.h"
#include "elevatedstart.h"
#include "healthwatch.h"
#include "installrights.h"
#include "proxyaccess.h"
#include "relaunch.h"
#include "rollbackrun.h"
#include "releasestatement.h"
#include "runlog.h"
#include "runnotes.h"
#include "singleinstance.h"
#include "tlstrust.h"
#include "uilanguage.h"
#include "updaterun.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QTranslator>
#include <QUrl>

namespace {
QString argumentAfterProgram(int argc, char **argv)
{
    return argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QString();
}

// the pipe an updater started elevated writes its console reports into
ReportPipe reportPipe;

void writeToReportPipe(const QByteArray &bytes)
{
    reportPipe.write(bytes);
}

// An updater started elevated by another one: the mode's argument, the elevated run's, and in
// console mode the name of the report pipe last. Only a name of the pipes the updater makes is
// opened; without one, the reports go to standard output.
bool startedElevated(int argc, char **argv, RunMode mode)
{
    const int at = mode == RunMode::Console ? 2 : 1;
    if (argc <= at || QString::fromLocal8Bit(argv[at]) != elevatedRunArgument())
        return false;
    if (mode == RunMode::Console && argc == at + 2
        && reportPipe.open(QString::fromLocal8Bit(argv[at + 1])))
        setConsoleOutput(writeToReportPipe);
    return true;
}

// Without a display QApplication cannot start. Console and relaunch-only runs show nothing a
// person must see, so on a machine without one they use the offscreen platform.
void useOffscreenPlatformWhenHeadless(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (runModeFromArgument(argumentAfterProgram(argc, argv)) == RunMode::Interactive)
        return;
    if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
#endif
}

// The only plugin directory, fixed when the updater was built; none for a static Qt.
QStringList ownLibraryPaths()
{
    const QString dir = QString::fromUtf8(UPDATER_QT_PLUGIN_DIR);
    return dir.isEmpty() ? QStringList() : QStringList(dir);
}

// Variables that add plugin directories, unset while the application object loads its plugins
// and put back afterwards for the processes started later (the host).
QList<QPair<const char *, QByteArray>> setAsidePluginEnvironment()
{
    QList<QPair<const char *, QByteArray>> saved;
    for (const char *name : {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH"}) {
        if (qEnvironmentVariableIsSet(name)) {
            saved.append({name, qgetenv(name)});
            qunsetenv(name);
        }
    }
    return saved;
}

void restoreEnvironment(const QList<QPair<const char *, QByteArray>> &saved)
{
    for (const auto &variable : saved)
        qputenv(variable.first, variable.second);
}

// what every mode that works on the installation knows of it; the run log started
UpdateContext localContext(const UpdaterConfig &config, const QString &updaterDir,
    QNetworkAccessManager *manager, const UrlPasswords &passwords, InstallRights &rights,
    SingleInstanceGuard &guard)
{
    UpdateContext context;
    context.manager = manager;
    context.baseUrl = config.baseUrl;
    context.installRoot = prepareInstallRoot(updaterDir);
    context.cacheDir = prepareCacheDir(config.cachePath);
    context.hostProgram = config.hostProgram;
    context.transfer = config.transfer;
    context.reportUrl = config.reportUrl;
    context.passwords = passwords;
    context.rights = &rights;
    context.lock = &guard;
    context.healthCheck = config.healthCheck;
    // only the holder of the run's lock keeps the log within its bound: the watch runs beside
    // the runs
    beginRunLog(context, config, guard.isHeld());
    return context;
}

int startUpdate(UpdateFrontend &frontend, SingleInstanceGuard &guard, const UpdaterConfig &config,
    const QString &updaterDir, QNetworkAccessManager *manager, const UrlPasswords &passwords,
    InstallRights &rights, bool elevatedRun)
{
    const auto fatal = [&](const QString &title, const QString &message) {
        frontend.reportFatal(title, message);
        if (!elevatedRun && frontend.relaunchesHost(AttemptResult::NotInstalled))
            relaunchHost(config.hostProgram);
        return 1;
    };

    if (!guard.acquire())
        return fatal(QObject::tr("启动"), QObject::tr("升级程序已运行"));
    UpdateContext context = localContext(config, updaterDir, manager, passwords, rights, guard);

    if (!QUrl(config.baseUrl, QUrl::TolerantMode).isValid())
        return fatal(QObject::tr("配置错误"), QObject::tr("升级地址不合法:%1").arg(config.baseUrl));

    ProxySetting proxySetting;
    if (!parseProxySetting(config.proxy, proxySetting))
        return fatal(
            QObject::tr("配置错误"), QObject::tr("代理服务器地址不合法:%1").arg(config.proxy));
    ProxyAccess proxy(proxySetting);
    proxy.setUp(*manager);

    QString badKey;
    if (!parsePublicKeys(config.publicKeys, context.publicKeys, &badKey))
        return fatal(QObject::tr("配置错误"), QObject::tr("升级签名公钥不合法:%1").arg(badKey));
    context.proxy = &proxy;
    context.elevatedRun = elevatedRun;
    return runUpdates(context, frontend);
}
} // namespace

int runUpdater(int &argc, char **argv)
{
    InstallRights rights;
    return runUpdater(argc, argv, rights);
}

int runUpdater(int &argc, char **argv, InstallRights &rights)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    useOffscreenPlatformWhenHeadless(argc, argv);
    // What runs with administrator rights loads only its own Qt plugins. The embedded qt.conf
    // (":/qt/etc/qt.conf") already wins over a host's beside the updater; the environment is
    // set aside while the application object loads the platform plugin, and the updater's own
    // folder, which Qt adds to the paths as it makes that object, is dropped right after.
    const QStringList libraryPaths = ownLibraryPaths();
    QCoreApplication::setLibraryPaths(libraryPaths);
    const auto pluginEnvironment = setAsidePluginEnvironment();
    QApplication app(argc, argv);
    restoreEnvironment(pluginEnvironment);
    QCoreApplication::setLibraryPaths(libraryPaths);
    app.setWindowIcon(applicationIcon());

    const QString updaterDir = QCoreApplication::applicationDirPath();
    const UpdaterConfig config = readConfig(updaterDir);
    // before any text is made: the dialogs' forms, and every message of the run
    QTranslator translator;
    installLanguage(translator, config.language);
    CUpdateError errorDialog;
    QNetworkAccessManager manager;
    // one redaction for the reports, the run log and stderr
    const UrlPasswords passwords(config.baseUrl, config.proxy);
    hideInMessages(passwords);
    trustCertificates(config.caCertificates);
    errorDialog.setDownloadUrl(config.downloadUrl);

    const RunMode mode = runModeFromArgument(argumentAfterProgram(argc, argv));
    if (mode == RunMode::Relaunch) {
        relaunchHost(config.hostProgram);
        return 1;
    }
    if (mode == RunMode::Rollback || mode == RunMode::HealthWatch) {
        // the outcome report of a rollback goes the way the updates come
        ProxySetting proxySetting;
        const bool proxyValid = parseProxySetting(config.proxy, proxySetting);
        const ProxyAccess proxy(proxySetting);
        if (proxyValid)
            proxy.setUp(manager);
        SingleInstanceGuard guard(updaterDir); // taken for the rollback alone
        const UpdateContext context
            = localContext(config, updaterDir, &manager, passwords, rights, guard);
        return mode == RunMode::Rollback ? runRollbackCommand(context)
                                         : runHealthWatch(context, updaterDir);
    }
    const bool elevatedRun = startedElevated(argc, argv, mode);
    ConsoleFrontend console;
    DialogFrontend dialogs(errorDialog);
    UpdateFrontend &frontend
        = mode == RunMode::Console ? static_cast<UpdateFrontend &>(console) : dialogs;
    frontend.setPasswords(passwords);
    SingleInstanceGuard guard(updaterDir); // held until the process ends
    return startUpdate(
        frontend, guard, config, updaterDir, &manager, passwords, rights, elevatedRun);
}
