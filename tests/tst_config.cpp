#include "config.h"
#include "proxyaccess.h"
#include "unelevatedstart.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <shellapi.h>
#endif

class tst_Config : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runMode_data();
    void runMode();
    void readConfig_data();
    void readConfig();
    void transferKeys_data();
    void transferKeys();
    void proxy_data();
    void proxy();
    void proxyChoice_data();
    void proxyChoice();
    void installRoot_data();
    void installRoot();
    void cacheDir_data();
    void cacheDir();
    void windowsCommandLine_data();
    void windowsCommandLine();

private:
    QTemporaryDir temp;
};

Q_DECLARE_METATYPE(RunMode)
Q_DECLARE_METATYPE(ProxySetting::Kind)

void tst_Config::initTestCase()
{
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
}

void tst_Config::runMode_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<RunMode>("mode");

    QTest::newRow("none") << QString() << RunMode::Interactive;
    QTest::newRow("console") << "console" << RunMode::Console;
    QTest::newRow("console-mixed-case") << "CoNsOlE" << RunMode::Console;
    QTest::newRow("console-upper") << "CONSOLE" << RunMode::Console;
    QTest::newRow("restart") << "restart" << RunMode::Relaunch;
    QTest::newRow("restart-mixed-case") << "ReStArT" << RunMode::Relaunch;
    QTest::newRow("rollback-mixed-case") << "RollBack" << RunMode::Rollback;
    // started by the updater itself, spelt exactly
    QTest::newRow("health-watch") << "--health-watch" << RunMode::HealthWatch;
    QTest::newRow("health-watch-other-case") << "--Health-Watch" << RunMode::Interactive;
    QTest::newRow("other-word") << "update" << RunMode::Interactive;
    QTest::newRow("console-prefix") << "consoles" << RunMode::Interactive;
    QTest::newRow("console-padded") << " console" << RunMode::Interactive;
}

void tst_Config::runMode()
{
    QFETCH(QString, argument);
    QFETCH(RunMode, mode);
    QCOMPARE(runModeFromArgument(argument), mode);
}

void tst_Config::readConfig_data()
{
    QTest::addColumn<QString>("content"); // null: no file
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<QString>("downloadUrl");
    QTest::addColumn<QString>("cache"); // relative to the updater's directory when not absolute
    QTest::addColumn<QString>("host"); // relative to the updater's directory when not absolute
    QTest::addColumn<QString>("caFile"); // relative to the updater's directory when not absolute
    QTest::addColumn<int>("stallTimeout");
    const int defaultStall = TransferSettings().stallTimeout;

    QTest::newRow("no-file") << QString() << QString() << QString() << "update" << "Host.exe" << QString() << defaultStall;
    QTest::newRow("no-group") << "[Other]\nURL=http://x/\n" << QString() << QString() << "update" << "Host.exe" << QString() << defaultStall;
    QTest::newRow("all-keys")
            << "[Update]\nURL=http://server/app/\nDownLoadUrl=http://server/setup\nCache=/var/cache/u\nExeName=/opt/app/host\n"
            << "http://server/app/" << "http://server/setup" << "/var/cache/u" << "/opt/app/host" << QString() << defaultStall;
    QTest::newRow("relative-host") << "[Update]\nExeName=sub/app.exe\n" << QString() << QString() << "update" << "sub/app.exe" << QString() << defaultStall;
    // an empty name resolves to the updater's directory itself: the later start fails quietly
    QTest::newRow("empty-host") << "[Update]\nExeName=\n" << QString() << QString() << "update" << "" << QString() << defaultStall;
    QTest::newRow("relative-cache-kept") << "[Update]\nCache=tmp\n" << QString() << QString() << "tmp" << "Host.exe" << QString() << defaultStall;
    QTest::newRow("ca-and-stall")
            << "[Update]\nCaCertificates=/etc/updater/ca.pem\nStallTimeout=1500\n" << QString() << QString()
            << "update" << "Host.exe" << "/etc/updater/ca.pem" << 1500;
    // a relative file lies beside the updater; a time that is no positive number is the default
    QTest::newRow("relative-ca-bad-stall") << "[Update]\nCaCertificates=certs/ca.pem\nStallTimeout=soon\n"
            << QString() << QString() << "update" << "Host.exe" << "certs/ca.pem" << defaultStall;
    QTest::newRow("negative-stall") << "[Update]\nStallTimeout=-5\n" << QString() << QString() << "update"
            << "Host.exe" << QString() << defaultStall;
}

void tst_Config::readConfig()
{
    QFETCH(QString, content);
    QFETCH(QString, baseUrl);
    QFETCH(QString, downloadUrl);
    QFETCH(QString, cache);
    QFETCH(QString, host);
    QFETCH(QString, caFile);
    QFETCH(int, stallTimeout);

    QTemporaryDir updaterDir(temp.filePath(QStringLiteral("cfg-XXXXXX")));
    QVERIFY(updaterDir.isValid());
    if (!content.isNull()) {
        QFile file(updaterDir.filePath(QStringLiteral("system.cfg")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content.toUtf8());
    }
    const QDir dir(updaterDir.path());
    const UpdaterConfig config = ::readConfig(updaterDir.path());
    QCOMPARE(config.baseUrl, baseUrl);
    QCOMPARE(config.downloadUrl, downloadUrl);
    // a relative "Cache" is kept as written: it is resolved against the working directory later
    QCOMPARE(config.cachePath, cache == QLatin1String("update") ? dir.filePath(cache) : cache);
    QCOMPARE(config.hostProgram, QDir::isAbsolutePath(host) ? host : dir.absoluteFilePath(host));
    QVERIFY(QDir::isAbsolutePath(config.hostProgram));
    QCOMPARE(config.caCertificates, caFile.isEmpty() || QDir::isAbsolutePath(caFile)
                     ? caFile : dir.absoluteFilePath(caFile));
    QCOMPARE(config.transfer.stallTimeout, stallTimeout);
}

// Numbers out of range or not numbers leave the defaults; keys keep every key of a list.
void tst_Config::transferKeys_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("transfers");
    QTest::addColumn<qint64>("minimumRate");
    QTest::addColumn<int>("rateWindow");
    QTest::addColumn<QString>("publicKeys");
    QTest::addColumn<int>("healthCheck");
    QTest::addColumn<int>("http2Transfers");
    const TransferSettings defaults;
    const int transfers = defaults.transfers;
    const int http2 = defaults.http2Transfers;
    const qint64 rate = defaults.minimumRate;
    const int window = defaults.rateWindow;

    QTest::newRow("none") << "[Update]\n" << transfers << rate << window << QString() << 0 << http2;
    QTest::newRow("all") << "[Update]\nTransfers=12\nMinimumRate=4096\nMinimumRateWindow=30\nPublicKeys=a= b=\nHealthCheck=30\n"
                         << 12 << qint64(4096) << 30000 << "a= b=" << 30 << 12;
    QTest::newRow("rate-off") << "[Update]\nMinimumRate=0\nHealthCheck=0\n" << transfers << qint64(0) << window << QString() << 0 << http2;
    QTest::newRow("out-of-range") << "[Update]\nTransfers=0\nMinimumRate=-3\nMinimumRateWindow=999999999\nHealthCheck=-5\n"
                                  << transfers << rate << window << QString() << 0 << http2;
    QTest::newRow("too-many-transfers") << "[Update]\nTransfers=65\nHealthCheck=86401\n" << transfers << rate << window
                                        << QString() << 0 << http2;
    QTest::newRow("keys-with-commas") << "[Update]\nPublicKeys=a=,b=\n" << transfers << rate << window << "a= b=" << 0 << http2;
    // the vendor's number, even the HTTP/1.1 default, holds over HTTP/2 too
    QTest::newRow("transfers-default-written") << "[Update]\nTransfers=8\n" << 8 << rate << window << QString() << 0 << 8;
}

void tst_Config::transferKeys()
{
    QFETCH(QString, content);
    QFETCH(int, transfers);
    QFETCH(qint64, minimumRate);
    QFETCH(int, rateWindow);
    QFETCH(QString, publicKeys);
    QFETCH(int, healthCheck);
    QFETCH(int, http2Transfers);

    QTemporaryDir updaterDir(temp.filePath(QStringLiteral("cfg-XXXXXX")));
    QVERIFY(updaterDir.isValid());
    QFile file(updaterDir.filePath(QStringLiteral("system.cfg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content.toUtf8());
    file.close();
    const UpdaterConfig config = ::readConfig(updaterDir.path());
    QCOMPARE(config.transfer.transfers, transfers);
    QCOMPARE(config.transfer.minimumRate, minimumRate);
    QCOMPARE(config.transfer.rateWindow, rateWindow);
    QCOMPARE(config.publicKeys, publicKeys);
    QCOMPARE(config.healthCheck, healthCheck);
    QCOMPARE(config.transfer.http2Transfers, http2Transfers);
}

// The Proxy value as system.cfg holds it. Anything but the system, none or an http:// proxy is
// refused: a typing error must not send the requests elsewhere than meant.
void tst_Config::proxy_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<ProxySetting::Kind>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");

    const auto system = ProxySetting::Kind::System;
    const auto direct = ProxySetting::Kind::Direct;
    const auto fixed = ProxySetting::Kind::Fixed;
    QTest::newRow("not-set") << QString() << true << system << QString() << 0 << QString() << QString();
    QTest::newRow("system") << "System" << true << system << QString() << 0 << QString() << QString();
    QTest::newRow("none") << "none" << true << direct << QString() << 0 << QString() << QString();
    QTest::newRow("direct") << "DIRECT" << true << direct << QString() << 0 << QString() << QString();
    QTest::newRow("host-port") << "http://proxy.corp:3128" << true << fixed << "proxy.corp" << 3128 << QString() << QString();
    QTest::newRow("default-port") << "http://proxy.corp/" << true << fixed << "proxy.corp" << 8080 << QString() << QString();
    // percent-encoded as in any URL; a comma, which the INI reader splits at, is put back
    QTest::newRow("credentials") << "http://dom%5Cu%40x:p%3Bw,d@[::1]:3128" << true << fixed << "::1" << 3128
                                 << "dom\\u@x" << "p;w,d";
    QTest::newRow("https-proxy") << "https://proxy.corp:3128" << false << system << QString() << 0 << QString() << QString();
    QTest::newRow("socks") << "socks5://proxy.corp:1080" << false << system << QString() << 0 << QString() << QString();
    QTest::newRow("no-scheme") << "proxy.corp:3128" << false << system << QString() << 0 << QString() << QString();
    QTest::newRow("path") << "http://proxy.corp:3128/pac" << false << system << QString() << 0 << QString() << QString();
    QTest::newRow("no-host") << "http://:3128" << false << system << QString() << 0 << QString() << QString();
    QTest::newRow("bad-port") << "http://proxy.corp:99999" << false << system << QString() << 0 << QString() << QString();
}

void tst_Config::proxy()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QFETCH(ProxySetting::Kind, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, user);
    QFETCH(QString, password);

    QTemporaryDir updaterDir(temp.filePath(QStringLiteral("cfg-XXXXXX")));
    QVERIFY(updaterDir.isValid());
    QFile file(updaterDir.filePath(QStringLiteral("system.cfg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Update]\nProxy=" + value.toUtf8() + '\n');
    file.close();
    ProxySetting setting;
    QCOMPARE(parseProxySetting(::readConfig(updaterDir.path()).proxy, setting), valid);
    QCOMPARE(setting.kind, kind);
    if (kind != ProxySetting::Kind::Fixed)
        return;
    QCOMPARE(setting.proxy.type(), QNetworkProxy::HttpProxy);
    QCOMPARE(setting.proxy.hostName(), host);
    QCOMPARE(int(setting.proxy.port()), port);
    QCOMPARE(setting.proxy.user(), user);
    QCOMPARE(setting.proxy.password(), password);
}

// The proxy a request goes through, with http_proxy set as a user could set it: Qt reads it as
// the system's setting on Linux, never on Windows (the updater runs elevated there); no system
// proxy for this machine's own addresses, a configured one for every request.
void tst_Config::proxyChoice_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("proxy"); // "host:port", empty for none

#ifdef Q_OS_WIN
    const QString fromEnvironment;
#else
    const QString fromEnvironment = QStringLiteral("env-proxy.example:3128");
#endif
    QTest::newRow("system") << QString() << "http://updates.example/" << fromEnvironment;
    QTest::newRow("system-https") << QString() << "https://updates.example/" << fromEnvironment;
    QTest::newRow("system-loopback") << QString() << "http://127.0.0.1:8000/" << QString();
    QTest::newRow("system-localhost") << QString() << "http://localhost/" << QString();
    QTest::newRow("none") << "none" << "http://updates.example/" << QString();
    QTest::newRow("configured-loopback") << "http://cfg-proxy.example:3128" << "http://127.0.0.1:8000/"
                                         << "cfg-proxy.example:3128";
}

void tst_Config::proxyChoice()
{
    QFETCH(QString, setting);
    QFETCH(QString, url);
    QFETCH(QString, proxy);

    QList<QPair<const char *, QByteArray>> saved;
    for (const char *name : {"http_proxy", "https_proxy"}) {
        saved.append({name, qgetenv(name)});
        qputenv(name, "http://env-proxy.example:3128");
    }
    ProxySetting parsed;
    QVERIFY(parseProxySetting(setting, parsed));
    QNetworkAccessManager manager;
    ProxyAccess(parsed).setUp(manager);
    const QList<QNetworkProxy> proxies = manager.proxyFactory()->queryProxy(QNetworkProxyQuery(QUrl(url)));
    for (const auto &variable : qAsConst(saved)) {
        if (variable.second.isNull())
            qunsetenv(variable.first);
        else
            qputenv(variable.first, variable.second);
    }

    QVERIFY(!proxies.isEmpty());
    const QNetworkProxy &first = proxies.first();
    QCOMPARE(first.type() == QNetworkProxy::NoProxy ? QString() : first.hostName() + ':' + QString::number(first.port()),
             proxy);
}

void tst_Config::installRoot_data()
{
    QTest::addColumn<QString>("updaterSubdir");
    QTest::addColumn<QString>("rootSubdir");

    QTest::newRow("plain") << "App" << "App";
    QTest::newRow("bin") << "App/bin" << "App";
    QTest::newRow("Bin") << "App/Bin" << "App";
    QTest::newRow("BIN") << "App/BIN" << "App";
    QTest::newRow("binaries") << "App/binaries" << "App/binaries";
    QTest::newRow("bin-parent-only") << "bin/tool" << "bin/tool";
    QTest::newRow("missing-levels") << "New/deep/bin" << "New/deep";
}

void tst_Config::installRoot()
{
    QFETCH(QString, updaterSubdir);
    QFETCH(QString, rootSubdir);
    const QDir base(temp.path());
    const QDir root = prepareInstallRoot(base.filePath(updaterSubdir));
    QCOMPARE(QDir::cleanPath(root.absolutePath()), QDir::cleanPath(base.filePath(rootSubdir)));
    QVERIFY(QFileInfo(base.filePath(updaterSubdir)).isDir());
}

void tst_Config::cacheDir_data()
{
    QTest::addColumn<QString>("cachePath");
    QTest::addColumn<QString>("expected"); // below the working directory

    QTest::newRow("relative") << "tmp" << "work/tmp";
    QTest::newRow("relative-deep") << "a/b/c/d" << "work/a/b/c/d";
    QTest::newRow("absolute-deep") << "ABS/x/y/z" << "ABS/x/y/z";
}

void tst_Config::cacheDir()
{
    QFETCH(QString, cachePath);
    QFETCH(QString, expected);
    const QDir base(temp.path());
    QVERIFY(base.mkpath(QStringLiteral("work")));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(base.filePath(QStringLiteral("work"))));
    const QString path = cachePath.startsWith(QLatin1String("ABS/"))
            ? base.filePath(cachePath.mid(4))
            : cachePath;
    const QDir cache = prepareCacheDir(path);
    QDir::setCurrent(previous);
    const QString want = expected.startsWith(QLatin1String("ABS/"))
            ? base.filePath(expected.mid(4))
            : base.filePath(expected);
    QCOMPARE(QDir::cleanPath(cache.absolutePath()), QDir::cleanPath(want));
    QVERIFY(QFileInfo(want).isDir());
}

// the host's command line when the desktop's shell starts it (platform/unelevatedstart.h)
void tst_Config::windowsCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("commandLine");

    QTest::newRow("plain") << QStringList{"no_check"} << "no_check";
    QTest::newRow("none") << QStringList() << "";
    QTest::newRow("empty") << QStringList{""} << "\"\"";
    QTest::newRow("path-without-spaces") << QStringList{"C:\\App\\updater.exe"}
                                         << "C:\\App\\updater.exe";
    QTest::newRow("host-arguments")
            << QStringList{"C:\\Program Files\\App\\updater.exe", "no_check"}
            << "\"C:\\Program Files\\App\\updater.exe\" no_check";
    QTest::newRow("tab") << QStringList{"a\tb"} << "\"a\tb\"";
    QTest::newRow("quotes") << QStringList{"say \"hi\""} << "\"say \\\"hi\\\"\"";
    QTest::newRow("quote-alone") << QStringList{"a\"b"} << "\"a\\\"b\"";
    QTest::newRow("backslash-before-quote") << QStringList{"a\\\"b"} << "\"a\\\\\\\"b\"";
    QTest::newRow("backslashes-inside") << QStringList{"a\\\\b c"} << "\"a\\\\b c\"";
    QTest::newRow("trailing-backslash") << QStringList{"C:\\My Dir\\"} << "\"C:\\My Dir\\\\\"";
    QTest::newRow("trailing-backslashes") << QStringList{"a b\\\\"} << "\"a b\\\\\\\\\"";
    QTest::newRow("trailing-backslash-unquoted") << QStringList{"C:\\Dir\\"} << "C:\\Dir\\";
    QTest::newRow("chinese") << QStringList{"升级程序"} << "升级程序";
    QTest::newRow("chinese-spaced") << QStringList{"D:\\升级 程序\\", "是"}
                                    << "\"D:\\升级 程序\\\\\" 是";
    QTest::newRow("several") << QStringList{"a", "", "b c", "d"} << "a \"\" \"b c\" d";
}

void tst_Config::windowsCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, commandLine);
    QCOMPARE(::windowsCommandLine(arguments), commandLine);
#ifdef Q_OS_WIN
    // Windows itself splits it back; the program name in front follows rules of its own
    const QString line = QStringLiteral("x ") + commandLine;
    int count = 0;
    LPWSTR *split = CommandLineToArgvW(reinterpret_cast<LPCWSTR>(line.utf16()), &count);
    QVERIFY(split);
    QStringList parsed;
    for (int i = 1; i < count; ++i)
        parsed.append(QString::fromWCharArray(split[i]));
    LocalFree(split);
    QCOMPARE(parsed, arguments);
#endif
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
