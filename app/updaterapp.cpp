#include "updaterapp.h"

#include "app/config.h"
#include "app/frontend.h"
#include "app/relaunch.h"
#include "app/singleinstance.h"
#include "app/updatecheck.h"
#include "net/tlstrust.h"
#include "ui/cupdateerror.h"

#include <QApplication>
#include <QIcon>
#include <QNetworkAccessManager>
#include <QUrl>

namespace {
QString argumentAfterProgram(int argc, char **argv)
{
    return argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QString();
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

// lets tests shorten how long a stalled file download is waited for
int stallTimeoutFromEnvironment()
{
    bool ok = false;
    const int milliseconds = qEnvironmentVariableIntValue("UPDATER_STALL_TIMEOUT_MS", &ok);
    return ok && milliseconds > 0 ? milliseconds : 0;
}

int startUpdate(UpdateFrontend &frontend, SingleInstanceGuard &guard, const UpdaterConfig &config,
    const QString &updaterDir, QNetworkAccessManager *manager)
{
    const auto fatal = [&](const QString &title, const QString &message) {
        frontend.reportFatal(title, message);
        if (frontend.relaunchesHost(AttemptResult::NotInstalled))
            relaunchHost(config.hostProgram);
        return 1;
    };

    if (!guard.acquire())
        return fatal(QObject::tr("启动"), QObject::tr("升级程序已运行"));

    if (!QUrl(config.baseUrl, QUrl::TolerantMode).isValid())
        return fatal(QObject::tr("配置错误"), QObject::tr("升级地址不合法:%1").arg(config.baseUrl));

    UpdateContext context;
    context.manager = manager;
    context.baseUrl = config.baseUrl;
    context.installRoot = prepareInstallRoot(updaterDir);
    context.cacheDir = prepareCacheDir(config.cachePath);
    context.hostProgram = config.hostProgram;
    context.stallTimeout = stallTimeoutFromEnvironment();
    return runUpdateCheck(context, frontend);
}
} // namespace

int runUpdater(int &argc, char **argv)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    useOffscreenPlatformWhenHeadless(argc, argv);
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/icon")));
    trustCertificatesFromEnvironment();

    CUpdateError errorDialog;
    const QString updaterDir = QCoreApplication::applicationDirPath();
    QNetworkAccessManager manager;
    const UpdaterConfig config = readConfig(updaterDir);
    errorDialog.setDownloadUrl(config.downloadUrl);

    const RunMode mode = runModeFromArgument(argumentAfterProgram(argc, argv));
    if (mode == RunMode::Relaunch) {
        relaunchHost(config.hostProgram);
        return 1;
    }
    ConsoleFrontend console;
    DialogFrontend dialogs(errorDialog);
    UpdateFrontend &frontend
        = mode == RunMode::Console ? static_cast<UpdateFrontend &>(console) : dialogs;
    SingleInstanceGuard guard(updaterDir); // held until the process ends
    return startUpdate(frontend, guard, config, updaterDir, &manager);
}
