#include "support/installation.h"
#include "support/release.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QVersionNumber>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// a release as the vendor publishes it; one without a folder stands for "nothing new published"
struct Publication
{
    QString folder;
    QString version;
    bool optional = true;
    Files files;
};
Q_DECLARE_METATYPE(Publication)

namespace {
QByteArray patternBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

Files withChanges(Files files, const Files &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        files.insert(it.key(), it.value());
    return files;
}

// nested directories, names with a space and outside ASCII, an empty file and one of some
// megabytes, which nginx sends in several pieces
const Files Release1 {
    {"app.bin", "application, release 1\n"},
    {"lib/core/engine.dll", "engine, release 1"},
    {"docs/read me.txt", "read me, release 1"},
    {"资源/图标 说明.txt", "图标说明 第一版"},
    {"empty.dat", ""},
    {"big/blob.bin", patternBytes(5 * 1024 * 1024 + 3, 7)},
};
// the same size with other bytes, a file emptied, one grown, one added; the rest unchanged
const Files Release2 = withChanges(Release1,
    {
        {"app.bin", "application, release 2\n"},
        {"docs/read me.txt", ""},
        {"资源/图标 说明.txt", "图标说明 第二版，内容更长"},
        {"plugins/extra/new.so", "a plugin new in release 2"},
    });
const Files Release3 = withChanges(Release2, {{"lib/core/engine.dll", "engine, release 3"}});

const Publication Version1 {"v1", "1.0", true, Release1};
const Publication Version2 {"v2", "2.0", true, Release2};
const Publication Version3 {"v3", "3.0", false, Release3};

// the .old copies an update from release 1 to release 2 leaves behind
const Files OldCopies2 {
    {"app.bin.old", Release1.value("app.bin")},
    {"docs/read me.txt.old", Release1.value("docs/read me.txt")},
    {"资源/图标 说明.txt.old", Release1.value("资源/图标 说明.txt")},
};

const QByteArray NoUpdateReport = R"({"errormsg":"","success":true,"update":false})";
const QByteArray ForcedUpdateReport = R"({"errormsg":"","success":true,"update":true})";

// nginx and openssl are Linux programs. The Windows build runs under Wine, which shows the Linux
// root as drive Z:, and starts them there; they see Linux paths only.
#ifdef Q_OS_WIN
const QString LinuxRoot = QStringLiteral("Z:");
#else
const QString LinuxRoot;
#endif

// a path of the test as a Linux program sees it (the same on Linux)
QString linuxPath(const QString &path)
{
    const QString portable = QDir::fromNativeSeparators(path);
    return portable.startsWith(LinuxRoot, Qt::CaseInsensitive) ? portable.mid(LinuxRoot.size())
                                                               : portable;
}

QString findProgram(const QString &name)
{
    // (QStandardPaths looks for Windows programs on Windows)
    const QString program = LinuxRoot.isEmpty() ? QStandardPaths::findExecutable(name) : QString();
    if (!program.isEmpty())
        return program;
    // where a user's PATH often leaves them out
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/sbin", "/usr/local/sbin"}) {
        const QFileInfo file(LinuxRoot + QLatin1String(dir) + QLatin1Char('/') + name);
        // Windows knows a program by its extension, which Linux ones lack
        if (file.isFile() && (file.isExecutable() || !LinuxRoot.isEmpty()))
            return file.filePath();
    }
    return QString();
}

// A missing tool skips what needs it on a machine that runs the tests by hand; in CI, where
// tools/setup.sh installs every tool, it fails the test.
#define SKIP_OR_FAIL_IN_CI(reason)                                                                 \
    do {                                                                                           \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                   \
            QFAIL(reason);                                                                         \
        QSKIP(reason);                                                                             \
    } while (false)

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A Linux program run in the background by a shell that leaves the program's output, its process
// id and, once it has ended, its exit status in files: FILES.out, FILES.pid, FILES.status. Under
// Wine a Linux program started by a Windows one hands its starter no process handle, so QProcess
// can neither wait for it nor read its output nor stop it; this way works there and on Linux.
class LinuxProcess
{
public:
    // program, workingDir and files as the test sees them, arguments as the program needs them
    bool start(const QString &program, const QStringList &arguments, const QString &workingDir,
        const QString &files)
    {
        statusFile = files + QStringLiteral(".status");
        outputFile = files + QStringLiteral(".out");
        pidFile = files + QStringLiteral(".pid");
        // the status is written to a side file and renamed, so that it is never read half-written
        const QString script = QStringLiteral(
            "exec >\"$0.out\" 2>&1; cd \"$1\" && shift && { \"$@\" & echo $! >\"$0.pid\"; "
            "wait $!; }; echo $? >\"$0.part\"; mv \"$0.part\" \"$0.status\"");
        return QProcess::startDetached(LinuxRoot + QStringLiteral("/bin/sh"),
            QStringList {"-c", script, linuxPath(files), linuxPath(workingDir), linuxPath(program)}
                + arguments);
    }

    bool isRunning() const { return !QFileInfo::exists(statusFile); }

    bool waitForFinished(int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (isRunning()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // the program's exit status, -1 while it runs
    int exitCode() const
    {
        bool ok = false;
        const int code = readFile(statusFile).trimmed().toInt(&ok);
        return ok ? code : -1;
    }

    QByteArray output() const { return readFile(outputFile); }

    // signal: "TERM" or "KILL"
    void stop(const char *signal)
    {
        bool ok = false;
        const int pid = readFile(pidFile).trimmed().toInt(&ok);
        if (ok && pid > 0 && isRunning())
            QProcess::startDetached(LinuxRoot + QStringLiteral("/bin/sh"),
                {"-c", QStringLiteral("kill -%1 %2").arg(QLatin1String(signal)).arg(pid)});
    }

private:
    QString statusFile;
    QString outputFile;
    QString pidFile;
};

// runs a Linux helper program to its end; its output goes into the message of a failure
bool runLinuxTool(const QString &program, const QStringList &arguments, const QString &workingDir,
    const QString &files, QByteArray *output, int timeoutMs = 30000)
{
    LinuxProcess process;
    if (!process.start(program, arguments, workingDir, files)) {
        if (output)
            *output = "cannot start /bin/sh";
        return false;
    }
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.stop("KILL");
        process.waitForFinished(5000);
    }
    if (output)
        *output = process.output();
    return finished && process.exitCode() == 0;
}

// runs a helper program to its end; its output goes into the message of a failure
bool runTool(const QString &program, const QStringList &arguments, const QString &workingDir,
    QByteArray *output, int timeoutMs = 30000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    const QByteArray text = process.readAll();
    if (output)
        *output = text;
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

QByteArray quoted(const QString &path)
{
    return '"' + QFile::encodeName(path) + '"';
}

// "STATUS METHOD path" of an access log line written in the format "requests", the path
// percent-decoded; a line of another shape as it is
QString describeRequest(const QByteArray &line)
{
    static const QRegularExpression entry(QStringLiteral("^(\\d{3}) \"(\\S+) (\\S+) [^\"]*\"$"));
    const QRegularExpressionMatch match = entry.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return QString::fromLatin1(line);
    return match.captured(1) + QLatin1Char(' ') + match.captured(2) + QLatin1Char(' ')
        + QUrl::fromPercentEncoding(match.captured(3).toLatin1());
}

// what the updater installed: the tree without the installation's own files (the updater, its
// configuration, the host stand-in and its record, the download cache) and without directories
Files installedFiles(const Installation &installation)
{
    Files tree = snapshotTree(installation.root());
    const QString updater = QFileInfo(installation.updaterPath()).fileName();
    for (auto it = tree.begin(); it != tree.end();) {
        const QString &path = it.key();
        const bool ownFile = path.endsWith(QLatin1Char('/')) || path == updater
            || path == QLatin1String("system.cfg") || path == QLatin1String("host.sh")
            || path.startsWith(QLatin1String("host-args.txt"))
            || path.startsWith(QLatin1String("update/"));
        it = ownFile ? tree.erase(it) : it + 1;
    }
    return tree;
}

void compareFiles(const Files &actual, const Files &expected)
{
    QCOMPARE(actual.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QByteArray content = actual.value(it.key());
        QVERIFY2(content == it.value(),
            qPrintable(QStringLiteral("%1: %2 bytes, expected %3 bytes with other content")
                           .arg(it.key())
                           .arg(content.size())
                           .arg(it.value().size())));
    }
}

// the installation holds exactly the release's files, byte for byte, the given .old copies and
// the published manifest as update_md5.info
void verifyInstallation(const Installation &installation, const QString &publishedManifest,
    const Files &files, const Files &oldCopies)
{
    Files tree = installedFiles(installation);
    const QByteArray manifest = readFile(publishedManifest);
    QVERIFY2(!manifest.isEmpty(), qPrintable(publishedManifest));
    QVERIFY2(tree.contains("update_md5.info"), "no update_md5.info in the installation");
    QCOMPARE(tree.take("update_md5.info"), manifest);
    // update-publish numbers every release, and the installation records the one it took
    const QString folder = QFileInfo(publishedManifest).dir().dirName();
    const QByteArray record = tree.take("update_release.info");
    QVERIFY2(record.startsWith("release ") && record.contains("\nfolder " + folder.toUtf8() + '\n'),
        record.constData());

    Files olds;
    for (auto it = tree.begin(); it != tree.end();) {
        if (!it.key().endsWith(QLatin1String(".old"))) {
            ++it;
            continue;
        }
        olds.insert(it.key(), it.value());
        it = tree.erase(it);
    }
    compareFiles(olds, oldCopies);
    if (QTest::currentTestFailed())
        return;
    compareFiles(tree, files);
}
// the access log lines of a run that fetched update.ini, the folder's md5.txt and the files, sorted
QStringList expectedRequests(const QString &site, const QString &folder, const QStringList &paths)
{
    const QString folderPath = QLatin1Char('/') + site + QLatin1Char('/') + folder;
    QStringList expected {
        "200 GET /" + site + "//update.ini", "200 GET " + folderPath + "//md5.txt"};
    for (const QString &path : paths)
        expected << "200 GET " + folderPath + QLatin1Char('/') + path;
    expected.sort();
    return expected;
}
} // namespace

// The built updater against a real nginx serving what the built update-publish wrote: the URLs
// the updater forms, the files it asks for (nginx's access log) and what ends up installed.
// Each row works in a site of its own below nginx's root, so rows do not depend on each other.
class tst_Nginx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void console_data();
    void console();
    void https_data();
    void https();
    void proxy_data();
    void proxy();
    void objectStore();
    void outcomeReport();

private:
    bool makeCertificates(QString &error);
    QByteArray nginxConfig() const;
    QString runFiles();
    bool startNginx(QString &error);
    bool waitUntilListening();
    void stopNginx();
    QString nginxLog() const;
    bool startTinyproxy(QString &error);
    bool startS3rver(const QString &program, QString &error);
    bool putObject(const QString &url, const QByteArray *body, QString &error);
    bool upload(const QString &serverDir, const QString &baseUrl, QString &error);

    QString siteDir(const QString &site) const;
    QString siteUrl(const QString &scheme, quint16 port, const QString &site) const;
    bool publish(const QString &site, const Publication &release, QString &error) const;
    bool prepare(Installation &installation, const QString &baseUrl, QString &error) const;
    QStringList takeRequests();

    // where nginx and openssl see it too: Wine's own temporary directory lies in its prefix
    QTemporaryDir work {LinuxRoot.isEmpty() ? QDir::tempPath() + QStringLiteral("/tst_nginx-XXXXXX")
                                            : LinuxRoot + QStringLiteral("/tmp/tst_nginx-XXXXXX")};
    int runs = 0;
    QString nginxProgram;
    QByteArray nginxBuild; // what nginx -V says
    QScopedPointer<LinuxProcess> nginx;
    quint16 httpPort = 0;
    quint16 httpsPort = 0; // 0: no HTTPS server
    QString httpsSkipped; // why there is none
    quint16 proxiedPort = 0; // answers only what comes through the test proxy
    QString caCertificate;
    QScopedPointer<LinuxProcess> tinyproxy;
    quint16 proxyPort = 0;
    QScopedPointer<LinuxProcess> s3rver;
    quint16 s3rverPort = 0;
    QNetworkAccessManager network;
    qint64 logOffset = 0;
    int marks = 0;
};

void tst_Nginx::initTestCase()
{
    QVERIFY2(work.isValid(), qPrintable(work.errorString()));
    nginxProgram = findProgram(QStringLiteral("nginx"));
    if (nginxProgram.isEmpty())
        SKIP_OR_FAIL_IN_CI("nginx is not installed (Debian: apt-get install nginx-light); the "
                           "end-to-end runs against a real web server need it");
    QVERIFY2(QFileInfo(QStringLiteral(UPDATE_PUBLISH_EXE)).isExecutable(), UPDATE_PUBLISH_EXE);
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("runs")));
    QVERIFY2(runLinuxTool(nginxProgram, {"-V"}, work.path(), runFiles(), &nginxBuild),
        nginxBuild.constData());

    // Installation waits on QProcess::finished with a signal spy
    qRegisterMetaType<QProcess::ExitStatus>();
    network.setProxy(QNetworkProxy::NoProxy);
    for (const char *dir : {"nginx/logs", "nginx/temp", "nginx/tls", "www", "releases"})
        QVERIFY(QDir(work.path()).mkpath(QString::fromLatin1(dir)));

    QString error;
    if (findProgram(QStringLiteral("openssl")).isEmpty())
        httpsSkipped
            = QStringLiteral("openssl is not installed: no certificates for the HTTPS runs");
    else if (!nginxBuild.contains("--with-http_ssl_module"))
        httpsSkipped = QStringLiteral("this nginx is built without the SSL module");
    else if (!makeCertificates(error))
        httpsSkipped = QStringLiteral("making the test certificates failed: ") + error;

    QVERIFY2(startNginx(error), qPrintable(error));
}

void tst_Nginx::cleanupTestCase()
{
    for (LinuxProcess *process : {s3rver.data(), tinyproxy.data()}) {
        if (!process || !process->isRunning())
            continue;
        process->stop("TERM");
        if (!process->waitForFinished(5000)) {
            process->stop("KILL");
            process->waitForFinished(5000);
        }
    }
    stopNginx();
}

bool tst_Nginx::makeCertificates(QString &error)
{
    const QString tls = work.filePath(QStringLiteral("nginx/tls"));
    const QString openssl = findProgram(QStringLiteral("openssl"));
    // a name of its own for each run, so the CA cannot be mistaken for any other
    const QString tag = QString::number(QRandomGenerator::global()->generate(), 16);
    const QStringList curve {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const QList<QStringList> steps {
        QStringList {"req", "-x509", "-new"} + curve
            + QStringList {"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                "/CN=Updater Test CA " + tag, "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
        QStringList {"req", "-new"} + curve
            + QStringList {"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"},
        QStringList {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", QString::number(QRandomGenerator::global()->bounded(1, 1 << 30)),
            "-days", "2", "-sha256", "-extfile", "server.ext", "-out", "server.pem"},
    };
    if (!writeFile(tls + QStringLiteral("/server.ext"),
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
            "basicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\n"
            "extendedKeyUsage=serverAuth\n")) {
        error = QStringLiteral("cannot write server.ext");
        return false;
    }
    QByteArray output;
    for (const QStringList &step : steps) {
        if (!runLinuxTool(openssl, step, tls, runFiles(), &output)) {
            error = QStringLiteral("openssl %1: %2")
                        .arg(step.join(QLatin1Char(' ')), QString::fromLocal8Bit(output));
            return false;
        }
    }
    caCertificate = tls + QStringLiteral("/ca.pem");
    return true;
}

// where the shell running a Linux program leaves its files
QString tst_Nginx::runFiles()
{
    return work.filePath(QStringLiteral("runs/%1").arg(++runs));
}

QByteArray tst_Nginx::nginxConfig() const
{
    const QString prefix = linuxPath(work.filePath(QStringLiteral("nginx")));
    QByteArray conf = "daemon off;\nmaster_process off;\n";
#ifdef Q_OS_UNIX
    if (geteuid() == 0)
        conf += "user root;\n";
#else
    // the Linux user is unknown here; nginx run by another than root ignores this with a warning
    conf += "user root;\n";
#endif
    conf += "pid " + quoted(prefix + QStringLiteral("/nginx.pid")) + ";\n";
    conf += "error_log " + quoted(prefix + QStringLiteral("/logs/error.log")) + " notice;\n";
    conf += "events {\n    worker_connections 256;\n}\n";
    conf += "http {\n";
    conf += "    default_type application/octet-stream;\n";
    conf += "    log_format requests '$status \"$request\"';\n";
    conf += "    log_format connections '$connection $server_protocol $uri';\n";
    conf
        += "    access_log " + quoted(prefix + QStringLiteral("/logs/access.log")) + " requests;\n";
    // the README's way for a vendor to collect outcome reports
    conf += "    log_format updater_reports '$time_iso8601 event=$arg_event folder=$arg_folder "
            "version=$arg_version from=$arg_from_folder signed=$arg_signed "
            "fallback=$arg_fallback seconds=$arg_seconds';\n";
    conf += "    client_body_temp_path " + quoted(prefix + QStringLiteral("/temp/body")) + ";\n";
    for (const char *module : {"proxy", "fastcgi", "uwsgi", "scgi"}) {
        if (nginxBuild.contains(QByteArray("--without-http_") + module + "_module"))
            continue;
        conf += QByteArray("    ") + module + "_temp_path "
            + quoted(prefix + QStringLiteral("/temp/") + QLatin1String(module)) + ";\n";
    }
    const QByteArray root
        = "        root " + quoted(linuxPath(work.filePath(QStringLiteral("www")))) + ";\n";
    conf += "    server {\n";
    conf += "        listen 127.0.0.1:" + QByteArray::number(httpPort) + ";\n";
    conf += root;
    // what the test asks for to know that the log holds every earlier request
    conf += "        location /.mark/ {\n            return 204;\n        }\n";
    conf += "        location = /updater-report {\n            access_log "
            + quoted(prefix + QStringLiteral("/logs/reports.log"))
            + " updater_reports;\n            return 204;\n        }\n";
    conf += "    }\n";
    if (httpsPort != 0) {
        conf += "    server {\n";
        conf += "        listen 127.0.0.1:" + QByteArray::number(httpsPort) + " ssl http2;\n";
        // which connection carried each request, and in which protocol
        conf += "        access_log " + quoted(prefix + QStringLiteral("/logs/access.log"))
            + " requests;\n";
        conf += "        access_log " + quoted(prefix + QStringLiteral("/logs/https.log"))
            + " connections;\n";
        conf += "        ssl_certificate " + quoted(prefix + QStringLiteral("/tls/server.pem"))
            + ";\n";
        conf += "        ssl_certificate_key " + quoted(prefix + QStringLiteral("/tls/server.key"))
            + ";\n";
        conf += root;
        conf += "    }\n";
    }
    conf += "    server {\n";
    conf += "        listen 127.0.0.1:" + QByteArray::number(proxiedPort) + ";\n";
    conf += root;
    // the test proxy names itself in a Via header; a request without it came another way
    conf += "        if ($http_via !~ \"updater-test-proxy\") {\n";
    conf += "            return 403;\n        }\n";
    conf += "    }\n";
    conf += "}\n";
    return conf;
}

bool tst_Nginx::startNginx(QString &error)
{
    const QString prefix = work.filePath(QStringLiteral("nginx"));
    const QString linuxPrefix = linuxPath(prefix);
    QStringList arguments {
        "-p", linuxPrefix + QLatin1Char('/'), "-c", linuxPrefix + QStringLiteral("/nginx.conf")};
    // before reading its configuration nginx opens the error log it was built with, in a
    // directory that may not be writable here; -e exists from 1.19.5 on
    const QRegularExpression versionLine(QStringLiteral("nginx/(\\d+\\.\\d+\\.\\d+)"));
    const QVersionNumber version = QVersionNumber::fromString(
        versionLine.match(QString::fromLatin1(nginxBuild)).captured(1));
    if (version >= QVersionNumber(1, 19, 5))
        arguments << "-e" << linuxPrefix + QStringLiteral("/logs/error.log");

    // a free port is known only until it is closed again: another program may take it before
    // nginx does, and then a new pair is tried
    QString failures;
    for (int attempt = 0; attempt < 3; ++attempt) {
        QTcpServer plain;
        QTcpServer secure;
        QTcpServer proxied;
        if (!plain.listen(QHostAddress::LocalHost) || !proxied.listen(QHostAddress::LocalHost)
            || (httpsSkipped.isEmpty() && !secure.listen(QHostAddress::LocalHost))) {
            error = QStringLiteral("no free port: ") + plain.errorString() + secure.errorString()
                + proxied.errorString();
            return false;
        }
        httpPort = plain.serverPort();
        httpsPort = httpsSkipped.isEmpty() ? secure.serverPort() : 0;
        proxiedPort = proxied.serverPort();
        plain.close();
        secure.close();
        proxied.close();
        if (!writeFile(prefix + QStringLiteral("/nginx.conf"), nginxConfig())) {
            error = QStringLiteral("cannot write nginx.conf");
            return false;
        }

        nginx.reset(new LinuxProcess);
        if (!nginx->start(nginxProgram, arguments, prefix, runFiles())) {
            error = QStringLiteral("cannot start /bin/sh to run ") + nginxProgram;
            return false;
        }
        if (waitUntilListening())
            return true;
        failures = nginxLog();
        stopNginx();
    }
    error = QStringLiteral("nginx does not serve on 127.0.0.1: ") + failures;
    return false;
}

bool tst_Nginx::waitUntilListening()
{
    QElapsedTimer timer;
    timer.start();
    QList<quint16> waiting {httpPort, proxiedPort};
    if (httpsPort != 0)
        waiting << httpsPort;
    while (!waiting.isEmpty() && timer.elapsed() < 10000) {
        if (!nginx->isRunning())
            return false;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, waiting.first());
        if (probe.waitForConnected(200))
            waiting.removeFirst();
        else
            QTest::qWait(20);
    }
    return waiting.isEmpty();
}

void tst_Nginx::stopNginx()
{
    if (!nginx)
        return;
    if (nginx->isRunning()) {
        nginx->stop("TERM");
        if (!nginx->waitForFinished(5000)) {
            nginx->stop("KILL");
            nginx->waitForFinished(5000);
        }
    }
    nginx.reset();
}

QString tst_Nginx::nginxLog() const
{
    QString text;
    if (nginx)
        text += QString::fromLocal8Bit(nginx->output());
    return text
        + QString::fromLocal8Bit(readFile(work.filePath(QStringLiteral("nginx/logs/error.log"))));
}

// tinyproxy in the foreground with a configuration of its own, asking for Basic credentials
bool tst_Nginx::startTinyproxy(QString &error)
{
    const QString program = findProgram(QStringLiteral("tinyproxy"));
    const QString dir = work.filePath(QStringLiteral("tinyproxy"));
    if (program.isEmpty() || !QDir().mkpath(dir)) {
        error = QStringLiteral("cannot find tinyproxy or make ") + dir;
        return false;
    }
    QString failures;
    for (int attempt = 0; attempt < 3; ++attempt) {
        QTcpServer free;
        if (!free.listen(QHostAddress::LocalHost)) {
            error = QStringLiteral("no free port: ") + free.errorString();
            return false;
        }
        proxyPort = free.serverPort();
        free.close();
        const QByteArray conf = "Port " + QByteArray::number(proxyPort)
            + "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 64\n"
              "LogLevel Connect\nLogFile "
            + quoted(linuxPath(dir + QStringLiteral("/tinyproxy.log")))
            + "\nBasicAuth updater s3cret-pw.1\nViaProxyName \"updater-test-proxy\"\n";
        if (!writeFile(dir + QStringLiteral("/tinyproxy.conf"), conf)) {
            error = QStringLiteral("cannot write tinyproxy.conf");
            return false;
        }
        tinyproxy.reset(new LinuxProcess);
        if (!tinyproxy->start(program,
                {"-d", "-c", linuxPath(dir + QStringLiteral("/tinyproxy.conf"))}, dir,
                runFiles())) {
            error = QStringLiteral("cannot start /bin/sh to run ") + program;
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        while (tinyproxy->isRunning() && timer.elapsed() < 10000) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, proxyPort);
            if (probe.waitForConnected(200))
                return true;
            QTest::qWait(20);
        }
        failures += QString::fromLocal8Bit(tinyproxy->output());
        tinyproxy->stop("KILL");
        tinyproxy->waitForFinished(5000);
    }
    error = QStringLiteral("tinyproxy does not listen on 127.0.0.1: ") + failures;
    return false;
}

QString tst_Nginx::siteDir(const QString &site) const
{
    return work.filePath(QStringLiteral("www/") + site);
}

QString tst_Nginx::siteUrl(const QString &scheme, quint16 port, const QString &site) const
{
    return QStringLiteral("%1://127.0.0.1:%2/%3/").arg(scheme).arg(port).arg(site);
}

bool tst_Nginx::publish(const QString &site, const Publication &release, QString &error) const
{
    const QString releaseDir
        = work.filePath(QStringLiteral("releases/%1/%2").arg(site, release.folder));
    QDir(releaseDir).removeRecursively();
    if (!writeTree(releaseDir, release.files) || !QDir().mkpath(releaseDir)) {
        error = QStringLiteral("cannot write the release into ") + releaseDir;
        return false;
    }
    QStringList arguments {
        releaseDir, siteDir(site), "--version", release.version, "--folder", release.folder};
    if (release.optional)
        arguments << "--optional";
    QByteArray output;
    if (!runTool(QStringLiteral(UPDATE_PUBLISH_EXE), arguments, work.path(), &output)) {
        error = QStringLiteral("update-publish %1: %2")
                    .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(output));
        return false;
    }
    return true;
}

bool tst_Nginx::prepare(Installation &installation, const QString &baseUrl, QString &error) const
{
    if (!installation.isValid()) {
        error = installation.errorString();
        return false;
    }
    installation.installHost();
    installation.writeConfig({{"URL", baseUrl}, {"ExeName", "host.sh"}});
    // a proxy of the machine running the tests has no business with 127.0.0.1
    for (const char *name :
        {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        installation.environment.remove(QString::fromLatin1(name));
    return true;
}

// The requests nginx logged since the last call, one "STATUS METHOD decoded-path" each. nginx
// writes a log line once a response is sent, so after the updater has ended the test asks for a
// mark of its own and reads up to it: every request before the mark has been logged by then.
QStringList tst_Nginx::takeRequests()
{
    const QByteArray mark = "/.mark/" + QByteArray::number(++marks);
    QNetworkReply *reply = network.get(QNetworkRequest(
        QUrl(QStringLiteral("http://127.0.0.1:%1").arg(httpPort) + QString::fromLatin1(mark))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    reply->deleteLater();

    const QString logPath = work.filePath(QStringLiteral("nginx/logs/access.log"));
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly) && log.seek(logOffset)) {
            const QByteArray text = log.readAll();
            const int markAt = text.indexOf(' ' + mark + ' ');
            const int markEnd = markAt < 0 ? -1 : text.indexOf('\n', markAt);
            if (markEnd >= 0) {
                const int markStart = text.lastIndexOf('\n', markAt) + 1;
                logOffset += markEnd + 1;
                QStringList requests;
                const QList<QByteArray> lines = text.left(markStart).split('\n');
                for (const QByteArray &line : lines) {
                    if (line.isEmpty())
                        continue;
                    requests << describeRequest(line);
                }
                requests.sort();
                return requests;
            }
        }
        if (timer.elapsed() > 5000)
            return {QStringLiteral("<the access log never showed the mark %1>")
                        .arg(QString::fromLatin1(mark))};
        QTest::qWait(10);
    }
}

// Console runs over HTTP. A row installs its earlier releases first, one updater run each;
// then the release under test is published (unless the row has none) and the updater runs once
// more, the run the row checks.
void tst_Nginx::console_data()
{
    QTest::addColumn<QList<Publication>>("installedBefore");
    QTest::addColumn<Publication>("release");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("fetched"); // files requested besides update.ini and md5.txt
    QTest::addColumn<Files>("oldCopies"); // every .old file afterwards
    QTest::addColumn<bool>("hostStarted");

    QTest::newRow("first-install") << QList<Publication> {} << Version1 << NoUpdateReport << 0
                                   << QStringList(Release1.keys()) << Files {} << false;
    QTest::newRow("incremental") << QList<Publication> {Version1} << Version2 << NoUpdateReport << 0
                                 << QStringList {"app.bin", "docs/read me.txt",
                                        "资源/图标 说明.txt", "plugins/extra/new.so"}
                                 << OldCopies2 << false;
    QTest::newRow("nothing-to-update")
        << QList<Publication> {Version1, Version2} << Publication {} << NoUpdateReport << 1
        << QStringList {} << OldCopies2 << false;
    QTest::newRow("forced") << QList<Publication> {Version1, Version2} << Version3
                            << ForcedUpdateReport << 0 << QStringList {"lib/core/engine.dll"}
                            << withChanges(OldCopies2,
                                   {{"lib/core/engine.dll.old",
                                       Release1.value("lib/core/engine.dll")}})
                            << true;
}

void tst_Nginx::console()
{
    QFETCH(QList<Publication>, installedBefore);
    QFETCH(Publication, release);
    QFETCH(QByteArray, report);
    QFETCH(int, exitCode);
    QFETCH(QStringList, fetched);
    QFETCH(Files, oldCopies);
    QFETCH(bool, hostStarted);

    const QString site = QString::fromLatin1(QTest::currentDataTag());
    QDir(siteDir(site)).removeRecursively();
    Installation installation;
    QString error;
    QVERIFY2(prepare(installation, siteUrl(QStringLiteral("http"), httpPort, site), error),
        qPrintable(error));

    for (const Publication &earlier : qAsConst(installedBefore)) {
        QVERIFY2(publish(site, earlier, error), qPrintable(error));
        const Installation::Result installed = installation.run({"console"});
        QVERIFY2(installed.finished && installed.exitCode == 0,
            qPrintable(QStringLiteral("installing %1 first: exit %2, %3")
                           .arg(earlier.version)
                           .arg(installed.exitCode)
                           .arg(QString::fromUtf8(installed.standardOutput))));
    }
    if (!release.folder.isEmpty())
        QVERIFY2(publish(site, release, error), qPrintable(error));
    const Publication current = release.folder.isEmpty() ? installedBefore.last() : release;
    takeRequests(); // those of the earlier runs

    const Installation::Result result = installation.run({"console"});
    const QStringList requests = takeRequests();
    QVERIFY(result.finished);
    QCOMPARE(result.standardOutput, report);
    QCOMPARE(result.exitCode, exitCode);

    QCOMPARE(requests, expectedRequests(site, current.folder, fetched));

    verifyInstallation(installation, siteDir(site) + QLatin1Char('/') + current.folder + "/md5.txt",
        current.files, oldCopies);
    if (QTest::currentTestFailed())
        return;
    if (hostStarted) {
        QCOMPARE(
            installation.waitForHost(), (QStringList {installation.updaterPath(), "no_check"}));
    } else {
        // a host would have been started before the updater ended, and would have run by the
        // time every process the updater started has ended
        QVERIFY(installation.waitForStartedProcesses());
        QVERIFY(!installation.hostStarted());
    }
}

// Console runs over HTTPS: with the test CA named in system.cfg the update goes through;
// without, the first fetch fails, nothing is requested and nothing installed.
void tst_Nginx::https_data()
{
    QTest::addColumn<bool>("trusted");

    QTest::newRow("trusted-ca") << true;
    QTest::newRow("untrusted-ca") << false;
}

void tst_Nginx::https()
{
    QFETCH(bool, trusted);
    if (httpsPort == 0)
        QSKIP(qPrintable(httpsSkipped));

    const QString site = QString::fromLatin1(QTest::currentDataTag());
    QDir(siteDir(site)).removeRecursively();
    QString error;
    QVERIFY2(publish(site, Version1, error), qPrintable(error));
    Installation installation;
    QVERIFY2(prepare(installation, siteUrl(QStringLiteral("https"), httpsPort, site), error),
        qPrintable(error));
#ifdef Q_OS_WIN
    // The Windows build's TLS is Qt's Schannel backend; where that does not trust a CA given in
    // the configuration (as under Wine), the updater cannot trust the test CA either
    if (trusted) {
        QNetworkRequest request(
            QUrl(siteUrl(QStringLiteral("https"), httpsPort, site) + QStringLiteral("update.ini")));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(caCertificate, QSsl::Pem));
        request.setSslConfiguration(tls);
        QScopedPointer<QNetworkReply> reply(network.get(request));
        QStringList sslErrors;
        connect(reply.data(), &QNetworkReply::sslErrors, this,
            [&sslErrors](const QList<QSslError> &errors) {
                for (const QSslError &sslError : errors)
                    sslErrors << sslError.errorString();
            });
        QSignalSpy finished(reply.data(), &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        if (reply->error() == QNetworkReply::SslHandshakeFailedError)
            QSKIP(qPrintable(QStringLiteral("this Qt does not trust the test CA set in its TLS "
                                            "configuration: %1 (%2)")
                                 .arg(reply->errorString(), sslErrors.join(QLatin1String("; ")))));
    }
#endif
    takeRequests();

    // the updater trusts the certificates of the file that system.cfg names in place of the
    // system's
    installation.environment.remove(QStringLiteral("SSL_CERT_FILE"));
    if (trusted) {
        installation.writeConfig({{"URL", siteUrl(QStringLiteral("https"), httpsPort, site)},
            {"ExeName", "host.sh"}, {"CaCertificates", caCertificate}});
    }
    QScopedPointer<QProcess> process(installation.start({"console"}));
    const Installation::Result result = Installation::wait(process.data());
    const QStringList requests = takeRequests();
    QVERIFY(result.finished);

    if (trusted) {
        QVERIFY2(result.standardOutput == NoUpdateReport,
            qPrintable(QString::fromUtf8(result.standardOutput + result.standardError)));
        // a sanitizer's finding at exit comes after the report
        QVERIFY2(result.exitCode == 0, result.standardError.constData());
        QCOMPARE(requests, expectedRequests(site, QStringLiteral("v1"), Release1.keys()));
        verifyInstallation(installation, siteDir(site) + "/v1/md5.txt", Release1, Files {});
        // over HTTP/2 the files are streams of one connection
        QFile log(work.filePath(QStringLiteral("nginx/logs/https.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QSet<QByteArray> connections;
        const QByteArray folder = "/" + site.toUtf8() + "/v1/";
        for (const QByteArray &line : log.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() >= 3 && fields.at(1) == "HTTP/2.0" && fields.at(2).startsWith(folder)
                && !fields.at(2).endsWith("/md5.txt"))
                connections.insert(fields.at(0));
        }
#ifdef Q_OS_WIN
        // Schannel offers HTTP/2 where the system's TLS negotiates it (not always under Wine)
        QVERIFY2(connections.size() <= 1, connections.values().join(' ').constData());
#else
        QVERIFY2(connections.size() == 1, connections.values().join(' ').constData());
#endif
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(result.standardOutput, &parseError);
    // a second report after the first would not parse as one document
    QVERIFY2(parseError.error == QJsonParseError::NoError && document.isObject(),
        result.standardOutput.constData());
    const QJsonObject reportObject = document.object();
    QCOMPARE(reportObject.keys(), (QStringList {"errormsg", "success", "update"}));
    QCOMPARE(reportObject.value("success"), QJsonValue(false));
    QCOMPARE(reportObject.value("update"), QJsonValue(false));
    const QString prefix = QStringLiteral("下载升级描述文件失败:");
    const QString message = reportObject.value("errormsg").toString();
    QVERIFY2(message.startsWith(prefix) && message.size() > prefix.size(), qPrintable(message));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(requests, QStringList()); // no request went over the refused connection
    QCOMPARE(installedFiles(installation).keys(), QStringList());
}

// Console runs through tinyproxy, which wants Basic credentials, to a server that answers only
// what came through it (403 otherwise, which the access log would show): with the credentials
// in the Proxy URL the release is installed; without them, or with a wrong password, the run
// fails, the server sees no request and the password is in no report.
void tst_Nginx::proxy_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message"); // the report's errormsg, or how it begins; empty: installed
    QTest::addColumn<bool>("wholeMessage");

    const QString failed = QStringLiteral("下载升级描述文件失败:");
    QTest::newRow("through-proxy") << "updater" << "s3cret-pw.1" << QString() << true;
    QTest::newRow("no-credentials") << QString() << QString()
                                    << failed + "代理服务器127.0.0.1:PORT需要身份验证" << true;
    // tinyproxy 1.11 answers a wrong password with "401 Unauthorized", which Qt takes for the
    // server's own demand, not with 407 (the refusal of a 407 proxy: tst_updateapplication)
    QTest::newRow("wrong-password") << "updater" << "not-the-pw.2" << failed << false;
}

void tst_Nginx::proxy()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, message);
    QFETCH(bool, wholeMessage);
    if (!tinyproxy) {
        if (findProgram(QStringLiteral("tinyproxy")).isEmpty())
            SKIP_OR_FAIL_IN_CI("tinyproxy is not installed (Debian: apt-get install tinyproxy-bin); "
                               "the runs through a real proxy need it");
        QString error;
        QVERIFY2(startTinyproxy(error), qPrintable(error));
        // the server's own gate: a request that does not come through the proxy is refused
        QNetworkReply *direct = network.get(QNetworkRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(proxiedPort))));
        QSignalSpy finished(direct, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(direct->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 403);
        direct->deleteLater();
    }
    QVERIFY2(tinyproxy->isRunning(), tinyproxy->output().constData());
    message.replace(QStringLiteral("PORT"), QString::number(proxyPort));

    const QString site = QString::fromLatin1(QTest::currentDataTag());
    QDir(siteDir(site)).removeRecursively();
    QString error;
    QVERIFY2(publish(site, Version1, error), qPrintable(error));
    Installation installation;
    QVERIFY2(prepare(installation, siteUrl(QStringLiteral("http"), proxiedPort, site), error),
        qPrintable(error));
    QString credentials;
    if (!user.isEmpty())
        credentials = user + QLatin1Char(':') + password + QLatin1Char('@');
    installation.writeConfig({{"URL", siteUrl(QStringLiteral("http"), proxiedPort, site)},
        {"ExeName", "host.sh"},
        {"Proxy", "http://" + credentials + "127.0.0.1:" + QString::number(proxyPort)}});
    takeRequests();

    const Installation::Result result = installation.run({"console"});
    const QStringList requests = takeRequests();
    QVERIFY(result.finished);
    if (!password.isEmpty())
        QVERIFY(!QByteArray(result.standardOutput + result.standardError).contains(password.toUtf8()));

    if (message.isEmpty()) {
        QVERIFY2(result.standardOutput == NoUpdateReport,
            qPrintable(QString::fromUtf8(result.standardOutput + result.standardError)));
        QCOMPARE(result.exitCode, 0);
        // every request reached the server, and only through the proxy: one that did not would
        // be logged with 403
        QCOMPARE(requests, expectedRequests(site, QStringLiteral("v1"), Release1.keys()));
        verifyInstallation(installation, siteDir(site) + "/v1/md5.txt", Release1, Files {});
        return;
    }
    const QJsonDocument report = QJsonDocument::fromJson(result.standardOutput);
    QVERIFY2(report.isObject(), result.standardOutput.constData());
    const QString reported = report.object().value("errormsg").toString();
    if (wholeMessage)
        QCOMPARE(reported, message);
    else
        QVERIFY2(reported.startsWith(message) && reported.size() > message.size(), qPrintable(reported));
    QCOMPARE(report.object().value("success"), QJsonValue(false));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(requests, QStringList());
    QCOMPARE(installedFiles(installation).keys(), QStringList());
}

// s3rver, an S3-compatible object store, in a directory of its own, with one bucket that
// answers anonymous requests; it chooses a free port and names it in its first line
bool tst_Nginx::startS3rver(const QString &program, QString &error)
{
    const QString dir = work.filePath(QStringLiteral("s3rver"));
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot make ") + dir;
        return false;
    }
    s3rver.reset(new LinuxProcess);
    if (!s3rver->start(program,
            {"-d", linuxPath(dir), "-a", "127.0.0.1", "-p", "0", "--configure-bucket", "bucket"},
            dir, runFiles())) {
        error = QStringLiteral("cannot start /bin/sh to run ") + program;
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QElapsedTimer timer;
    timer.start();
    while (s3rver->isRunning() && timer.elapsed() < 30000) {
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(s3rver->output()));
        if (match.hasMatch()) {
            s3rverPort = quint16(match.captured(1).toUInt());
            return true;
        }
        QTest::qWait(50);
    }
    error = QStringLiteral("s3rver does not listen on 127.0.0.1: ")
        + QString::fromLocal8Bit(s3rver->output());
    s3rver->stop("KILL");
    s3rver->waitForFinished(5000);
    return false;
}

// PUT the body as the object at url; without one, DELETE it
bool tst_Nginx::putObject(const QString &url, const QByteArray *body, QString &error)
{
    QNetworkRequest request {QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    QNetworkReply *reply = body ? network.put(request, *body) : network.deleteResource(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    const bool answered = reply->isFinished() || finished.wait(30000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();
    if (answered && reply->error() == QNetworkReply::NoError && status / 100 == 2)
        return true;
    error = QStringLiteral("%1 %2: %3").arg(body ? "PUT" : "DELETE", url, reply->errorString());
    return false;
}

// one object per file, the key its path below the server directory, as a sync tool uploads it
bool tst_Nginx::upload(const QString &serverDir, const QString &baseUrl, QString &error)
{
    const Files tree = snapshotTree(serverDir);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')))
            continue;
        if (!putObject(baseUrl + it.key(), &it.value(), error))
            return false;
    }
    return true;
}

// A publication uploaded to an object store, which keeps the doubled slashes of the URLs the
// updater forms ("base//update.ini" is no key there): signed, with patches from the release
// installed, it installs byte for byte; update-publish --check URL passes there and names the
// object that is damaged or missing.
void tst_Nginx::objectStore()
{
    QString program = qEnvironmentVariable("UPDATER_S3RVER");
    if (program.isEmpty()) {
        const QFileInfo fixed(LinuxRoot + QStringLiteral("/opt/s3rver/node_modules/.bin/s3rver"));
        program = fixed.exists() ? fixed.filePath() : findProgram(QStringLiteral("s3rver"));
    }
    if (program.isEmpty() || findProgram(QStringLiteral("node")).isEmpty())
        SKIP_OR_FAIL_IN_CI("s3rver is not installed (tools/setup.sh installs it with npm into "
                           "/opt/s3rver); the runs against an object store need it");
    QString error;
    QVERIFY2(startS3rver(program, error), qPrintable(error));
    const QString base = QStringLiteral("http://127.0.0.1:%1/bucket/base/").arg(s3rverPort);

    const QString key = work.filePath(QStringLiteral("store.key"));
    QByteArray output;
    QVERIFY2(runTool(QStringLiteral(UPDATE_PUBLISH_EXE), {"--keygen", key}, work.path(), &output),
        output.constData());
    const QByteArray publicKey
        = QRegularExpression(QStringLiteral("PublicKeys=(\\S+)"))
              .match(QString::fromLatin1(output))
              .captured(1)
              .toLatin1();
    QVERIFY2(!publicKey.isEmpty(), output.constData());

    const QString serverDir = siteDir(QStringLiteral("store"));
    const QString releases = work.filePath(QStringLiteral("releases/store/"));
    Installation installation;
    QVERIFY2(prepare(installation, base, error), qPrintable(error));
    installation.writeConfig(
        {{"URL", base}, {"ExeName", "host.sh"}, {"PublicKeys", QString::fromLatin1(publicKey)}});
    // a few bytes of the large file changed too: a patch for it pays
    QByteArray blob = Release1.value("big/blob.bin");
    blob.replace(1000, 5, "patch");
    const Publication second {"v2", "2.0", true, withChanges(Release2, {{"big/blob.bin", blob}})};
    for (const Publication &release : {Version1, second}) {
        QVERIFY(writeTree(releases + release.folder, release.files));
        QStringList arguments {releases + release.folder, serverDir, "--version", release.version,
            "--folder", release.folder, "--optional", "--sign", key};
        if (release.folder != Version1.folder)
            arguments << "--delta-from" << releases + Version1.folder;
        QVERIFY2(runTool(QStringLiteral(UPDATE_PUBLISH_EXE), arguments, work.path(), &output),
            output.constData());
        QVERIFY2(upload(serverDir, base, error), qPrintable(error));
        const Installation::Result result = installation.run({"console"});
        QVERIFY2(result.finished && result.exitCode == 0 && result.standardOutput == NoUpdateReport,
            qPrintable(QString::fromUtf8(result.standardOutput + result.standardError)));
    }
    // (the record of the signed release accepted is checked with the others)
    verifyInstallation(installation, serverDir + "/v2/md5.txt", second.files,
        withChanges(OldCopies2, {{"big/blob.bin.old", Release1.value("big/blob.bin")}}));
    if (QTest::currentTestFailed())
        return;
    // the changed files came as patches, the signed index announced in update.ini
    QVERIFY2(s3rver->output().contains("/v2/update_delta/"), s3rver->output().right(3000).constData());

    const QStringList check {"--check", base, "--public-key", QString::fromLatin1(publicKey),
        "--proxy", "none"};
    QVERIFY2(runTool(QStringLiteral(UPDATE_PUBLISH_EXE), check, work.path(), &output),
        output.constData());
    // each damage in turn, on top of the ones before; the message names the object
    const QByteArray changed = QByteArray(second.files.value("app.bin")).replace("2", "3");
    const QByteArray cut = second.files.value("plugins/extra/new.so").left(5);
    const struct {
        const char *object;
        const QByteArray *body; // none: deleted
        const char *message;
    } damages[] {
        {"v2/app.bin", &changed, "\"app.bin\" differs from md5.txt"},
        {"v2/plugins/extra/new.so", &cut, "\"plugins/extra/new.so\" has 5 bytes"},
        {"v2/lib/core/engine.dll", nullptr,
            "\"lib/core/engine.dll\" is missing: the server answered 404 Not Found at "},
    };
    for (const auto &damage : damages) {
        QVERIFY2(putObject(base + QLatin1String(damage.object), damage.body, error),
            qPrintable(error));
        QVERIFY(!runTool(QStringLiteral(UPDATE_PUBLISH_EXE), check, work.path(), &output));
        QVERIFY2(output.contains(damage.message), output.constData());
    }
    QVERIFY2(output.contains(base.toUtf8() + "v2/lib/core/engine.dll"), output.constData());
}

// An update reports its outcome to the URL system.cfg names, and nginx, configured as the README
// shows, logs its fields.
void tst_Nginx::outcomeReport()
{
    const QString site = QStringLiteral("report");
    QDir(siteDir(site)).removeRecursively();
    QString error;
    QVERIFY2(publish(site, Version1, error), qPrintable(error));
    Installation installation;
    QVERIFY2(prepare(installation, siteUrl(QStringLiteral("http"), httpPort, site), error),
        qPrintable(error));
    installation.writeConfig({{"URL", siteUrl(QStringLiteral("http"), httpPort, site)},
        {"ExeName", "host.sh"},
        {"ReportUrl", QStringLiteral("http://127.0.0.1:%1/updater-report").arg(httpPort)}});
    takeRequests();

    const Installation::Result result = installation.run({"console"});
    takeRequests(); // every report logged by now
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QFile log(work.filePath(QStringLiteral("nginx/logs/reports.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray line = log.readAll().trimmed();
    QVERIFY2(!line.contains('\n') && line.contains(" event=installed folder=v1 version=1.0 from=- signed=0 fallback=0 "
                           "seconds="),
        line.constData());
}

QTEST_GUILESS_MAIN(tst_Nginx)
#include "tst_nginx.moc"
