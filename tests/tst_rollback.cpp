#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include "processwatch.h"
#include "reservednames.h"
#include "runlog.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <functional>

// The last update undone: by the watch of a host that fails right after it, and by
// "updater rollback"; a rollback killed at any moment ends, by the next run, in one whole version.
class tst_Rollback : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void watch_data();
    void watch();
    void command_data();
    void command();
    void killed();
    void logKeepsNewestRuns();
    void foundAmongProcesses_data();
    void foundAmongProcesses();

private:
    // a fresh installation of release 1 (its applied manifest and release record), its host the
    // stand-in that behaves as behaviour says ("exit 1", "crash", "exit 0", "run": 8 s), the
    // configuration naming the server and the watch
    void install(Installation &installation, const QByteArray &behaviour, int healthCheck);
    void setHostBehaviour(Installation &installation, const QByteArray &behaviour);
    static int hostStarts(const Installation &installation);

    QScopedPointer<TestServer> server;
};

namespace {
// release 2 replaces app.bin, adds lib/added.txt in a folder of its own, keeps same.txt
Files release(int number, int files = 0)
{
    const QByteArray n = QByteArray::number(number);
    Files tree {{"app.bin", "app " + n}, {"same.txt", "same"}};
    if (number > 1)
        tree.insert("lib/added.txt", "added in " + n);
    for (int i = 0; i < files; ++i)
        tree.insert(QStringLiteral("many/%1.txt").arg(i, 4, 10, QLatin1Char('0')), "file " + n);
    return tree;
}

QByteArray descriptor(int number)
{
    const QByteArray n = QByteArray::number(number);
    return "[Summary]\nUpdateType=1\n[Version]\nFolder=v" + n + "\nVersion=" + n + ".0\nRelease=" + n
            + '\n';
}

QByteArray releaseRecord(int number)
{
    const QByteArray n = QByteArray::number(number);
    return "release " + n + "\nfolder v" + n + "\nversion " + n + ".0\n";
}

// the installation without what the runs themselves keep: the cache, the host's records
QMap<QString, QByteArray> installedTree(const Installation &installation)
{
    QMap<QString, QByteArray> tree = snapshotTree(installation.root());
    for (auto it = tree.begin(); it != tree.end();) {
        if (it.key().startsWith(QLatin1String("update/")) || it.key().startsWith(QLatin1String("host-")))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

QString differences(const QMap<QString, QByteArray> &got, const QMap<QString, QByteArray> &expected)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!got.contains(it.key()))
            lines << QStringLiteral("missing ") + it.key();
        else if (got.value(it.key()) != it.value())
            lines << QStringLiteral("differs ") + it.key();
    }
    for (auto it = got.cbegin(); it != got.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("extra ") + it.key();
    }
    return lines.join(QLatin1String(", "));
}

QString hostName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("host.exe");
#else
    return QStringLiteral("host.sh");
#endif
}

constexpr QLatin1String Succeeded("{\"errormsg\":\"\",\"success\":true,\"update\":false}");
} // namespace

void tst_Rollback::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
}

void tst_Rollback::setHostBehaviour(Installation &installation, const QByteArray &behaviour)
{
#ifdef Q_OS_WIN
    // the stand-in reads what to do beside itself (support/hoststandin.cpp)
    installation.writeFile(QStringLiteral("host-behaviour.txt"), behaviour);
#else
    QByteArray act = behaviour;
    if (behaviour == "crash")
        act = "kill -SEGV $$";
    else if (behaviour == "run")
        act = "sleep 8";
    installation.writeFile(hostName(), "#!/bin/sh\necho started >> '"
                                           + QFile::encodeName(installation.path("host-starts.txt")) + "'\n"
                                           + act + '\n');
    QFile::setPermissions(installation.path(hostName()),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
#endif
}

void tst_Rollback::install(Installation &installation, const QByteArray &behaviour, int healthCheck)
{
    QVERIFY2(installation.isValid(), qPrintable(installation.errorString()));
    installation.installHost(hostName());
    setHostBehaviour(installation, behaviour);
    QVERIFY(writeTree(installation.root(), release(1)));
    installation.writeFile(appliedManifestName(), manifestText(release(1)));
    installation.writeFile(releaseRecordName(), releaseRecord(1));
    installation.writeConfig({{"URL", server->baseUrl() + '/'},
                              {"ExeName", installation.path(hostName())},
                              {"HealthCheck", QString::number(healthCheck)}});
}

int tst_Rollback::hostStarts(const Installation &installation)
{
    return installation.readFile(QStringLiteral("host-starts.txt")).count('\n');
}

// A host that fails right after the update gets the version before it back, byte for byte, and
// is started once more; the release stays out until update.ini names another. One that ends
// well, or still runs when the time is up, keeps the new version.
void tst_Rollback::watch_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<int>("healthCheck");
    QTest::addColumn<bool>("rolledBack");
    QTest::newRow("exit-1") << QByteArray("exit 1") << 60 << true;
    QTest::newRow("crash") << QByteArray("crash") << 60 << true;
    QTest::newRow("exit-0") << QByteArray("exit 0") << 60 << false;
    QTest::newRow("still-running") << QByteArray("run") << 2 << false;
}

void tst_Rollback::watch()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(int, healthCheck);
    QFETCH(bool, rolledBack);
    server->setFile("/update.ini", descriptor(2));
    serveRelease(*server, "/v2/", release(2));
    Installation installation;
    install(installation, behaviour, healthCheck);
    const QMap<QString, QByteArray> before = installedTree(installation);

    QElapsedTimer clock;
    clock.start();
    const Installation::Result result = installation.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QVERIFY2(result.exitCode == 0, QByteArray(result.standardOutput + result.standardError).constData());
    // the watch never held the run up
    QVERIFY2(clock.elapsed() < healthCheck * 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(installation.waitForStartedProcesses(120000));
#ifdef Q_OS_WIN
    // the watch and the hosts hold no pipe of the test there: the host's starts are awaited
    for (int i = 0; i < 600 && !(hostStarts(installation) == (rolledBack ? 2 : 1)
                                 && installation.exists(QStringLiteral("update/update_undo/record")) != rolledBack);
         ++i)
        QTest::qWait(200);
    QTest::qWait(2000);
#endif
    const QString log = QString::fromUtf8(installation.readFile(QStringLiteral("update/update.log")));
    QCOMPARE(hostStarts(installation), rolledBack ? 2 : 1);
    if (!rolledBack) {
        QCOMPARE(installation.readFile(QStringLiteral("app.bin")), release(2).value("app.bin"));
        QCOMPARE(installation.readFile(appliedManifestName()), manifestText(release(2)));
        return;
    }
    QVERIFY2(installedTree(installation) == before,
             qPrintable(differences(installedTree(installation), before) + '\n' + log));
    QVERIFY2(log.contains(QLatin1String("rolled back")), qPrintable(log));

    // the bad release is not installed again, not even fetched
    setHostBehaviour(installation, "exit 0");
    QMap<QString, QByteArray> restored = before;
    restored.insert(hostName(), installation.readFile(hostName()));
    server->clearLog();
    const Installation::Result again = installation.run({QStringLiteral("console")});
    QCOMPARE(again.exitCode, 1);
    QCOMPARE(again.standardOutput, QByteArray(Succeeded.data(), Succeeded.size()));
    QCOMPARE(server->requestCount("/v2/app.bin"), 0);
    QVERIFY2(installedTree(installation) == restored,
             qPrintable(differences(installedTree(installation), restored)));
    // a later release installs as usual
    server->setFile("/update.ini", descriptor(3));
    serveRelease(*server, "/v3/", release(3));
    const Installation::Result later = installation.run({QStringLiteral("console")});
    QCOMPARE(later.exitCode, 0);
    QVERIFY(installation.waitForStartedProcesses(120000));
    QCOMPARE(installation.readFile(QStringLiteral("app.bin")), release(3).value("app.bin"));
    QCOMPARE(installation.readFile(QStringLiteral("lib/added.txt")), release(3).value("lib/added.txt"));
}

// "updater rollback" restores when the update's set-aside copies are there as the update left
// them, and otherwise changes nothing and says why
void tst_Rollback::command_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("why");
    QTest::newRow("restores") << QString() << QString();
    QTest::newRow("set-aside-changed") << "change" << QStringLiteral("app.bin.old已被改动");
    QTest::newRow("set-aside-missing") << "remove" << QStringLiteral("app.bin.old不存在");
#ifndef Q_OS_WIN
    QTest::newRow("set-aside-link") << "link" << QStringLiteral("app.bin.old已被改动");
    QTest::newRow("folder-link") << "folder-link" << QStringLiteral("是链接");
#endif
    QTest::newRow("nothing-recorded") << "no-record" << QStringLiteral("没有可回退的更新");
}

void tst_Rollback::command()
{
    QFETCH(QString, tamper);
    QFETCH(QString, why);
    server->setFile("/update.ini", descriptor(2));
    serveRelease(*server, "/v2/", release(2));
    Installation installation;
    install(installation, "exit 0", 0);
    QMap<QString, QByteArray> before = installedTree(installation);
    QCOMPARE(installation.run({QStringLiteral("console")}).exitCode, 0);
    QVERIFY(installation.waitForStartedProcesses());

    const QString old = installation.path(QStringLiteral("app.bin.old"));
    if (tamper == QLatin1String("change")) {
        installation.writeFile(QStringLiteral("app.bin.old"), "app 1 changed");
    } else if (tamper == QLatin1String("remove")) {
        QVERIFY(QFile::remove(old));
    } else if (tamper == QLatin1String("link")) {
        // the very content, behind a link: not restored through it
        installation.writeFile(QStringLiteral("elsewhere"), release(1).value("app.bin"));
        QVERIFY(QFile::remove(old) && QFile::link(installation.path(QStringLiteral("elsewhere")), old));
    } else if (tamper == QLatin1String("folder-link")) {
        QVERIFY(QDir(installation.root()).rename(QStringLiteral("lib"), QStringLiteral("lib-real")));
        QVERIFY(makeDirectoryLink(installation.path(QStringLiteral("lib-real")), installation.path(QStringLiteral("lib"))));
    } else if (tamper == QLatin1String("no-record")) {
        QVERIFY(QFile::remove(installation.path(QStringLiteral("update/update_undo/record"))));
    }
    // the outcome report goes through the configured proxy, as the updates do
    installation.writeConfig({{"URL", server->baseUrl() + '/'}, {"ExeName", installation.path(hostName())},
                              {"Proxy", server->baseUrl()}, {"ReportUrl", "http://reports.invalid/r"}});
    before.insert(QStringLiteral("system.cfg"), installation.readFile(QStringLiteral("system.cfg")));
    const QMap<QString, QByteArray> tampered = installedTree(installation);
    const Installation::Result result = installation.run({QStringLiteral("rollback")});
    QVERIFY(result.finished);
    const QString report = QString::fromUtf8(result.standardOutput);
    if (why.isEmpty()) {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(report, QString(Succeeded));
        QVERIFY2(installedTree(installation) == before,
                 qPrintable(differences(installedTree(installation), before)));
        // restored once: nothing recorded is left to undo
        const Installation::Result twice = installation.run({QStringLiteral("rollback")});
        QCOMPARE(twice.exitCode, 1);
        QVERIFY2(QString::fromUtf8(twice.standardOutput).contains(QStringLiteral("没有可回退的更新")),
                 twice.standardOutput.constData());
        QVERIFY(installedTree(installation) == before);
        QCOMPARE(hostStarts(installation), 1); // the command starts no host
        const QList<QByteArray> requested = server->requestedPaths();
        QVERIFY2(std::any_of(requested.cbegin(), requested.cend(),
                             [](const QByteArray &path) {
                                 return path.startsWith("http://reports.invalid/r?event=rolled-back");
                             }),
                 requested.join(' ').constData());
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(report.contains(QLatin1String("\"success\":false")) && report.contains(why), qPrintable(report));
    QVERIFY2(installedTree(installation) == tampered,
             qPrintable(differences(installedTree(installation), tampered)));
}

// A rollback killed at spread moments (before it began, and at even steps over the time its
// journal stands): whatever the moment, the installation holds one whole version, or the journal
// has the next run complete the rollback; the next run ends with the version before the update,
// byte for byte.
void tst_Rollback::killed()
{
    constexpr int Many = 400;
    constexpr int Kills = 8;
    server->setFile("/update.ini", descriptor(2));
    serveRelease(*server, "/v2/", release(2, Many));
    QMap<QString, QByteArray> before;
    Files updated; // the whole root after the update, cache and all
    QMap<QString, QByteArray> updatedInstall;
    {
        Installation installation;
        install(installation, "exit 0", 0);
        QVERIFY(writeTree(installation.root(), release(1, Many)));
        installation.writeFile(appliedManifestName(), manifestText(release(1, Many)));
        before = installedTree(installation);
        QCOMPARE(installation.run({QStringLiteral("console")}, 300000).exitCode, 0);
        QVERIFY(installation.waitForStartedProcesses());
        updatedInstall = installedTree(installation);
        const QMap<QString, QByteArray> tree = snapshotTree(installation.root());
        for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
            if (!it.key().endsWith(QLatin1Char('/')) && it.key() != QFileInfo(installation.updaterPath()).fileName())
                updated.insert(it.key(), it.value());
        }
    }
    const QString journal = QStringLiteral("update/update_undo/journal");
    // polled without the event loop: the rollback needs no server
    const auto waitUntil = [](const std::function<bool()> &done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 60000)
            QThread::usleep(100);
        return done();
    };
    qint64 standsNs = 0; // how long the journal of a whole rollback stands
    int interrupted = 0;
    for (int step = -1; step <= Kills; ++step) {
        Installation installation;
        QVERIFY(installation.isValid());
        QVERIFY(writeTree(installation.root(), updated));
        QScopedPointer<QProcess> process(installation.start({QStringLiteral("rollback")}));
        if (step >= 1) {
            QVERIFY(waitUntil([&] { return installation.exists(journal); }));
            QElapsedTimer timer;
            timer.start();
            while (timer.nsecsElapsed() < standsNs * step / (Kills + 1))
                ;
        }
        if (step >= 0)
            process->kill();
        if (step == -1) {
            // the whole rollback, timed
            QVERIFY(waitUntil([&] { return installation.exists(journal); }));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(waitUntil([&] { return !installation.exists(journal); }));
            standsNs = timer.nsecsElapsed();
        }
        Installation::wait(process.data());
        QCOMPARE(process->state(), QProcess::NotRunning);
        const QMap<QString, QByteArray> now = installedTree(installation);
        const bool underWay = installation.exists(journal);
        interrupted += underWay ? 1 : 0;
        QVERIFY2(underWay || now == updatedInstall || now == before,
                 qPrintable(QStringLiteral("step %1: %2").arg(step).arg(differences(now, updatedInstall))));
        // the next run completes it (or, killed before it began, does it)
        const Installation::Result next = installation.run({QStringLiteral("rollback")});
        QVERIFY(next.finished);
        QVERIFY2(installedTree(installation) == before,
                 qPrintable(QStringLiteral("step %1: %2").arg(step).arg(differences(installedTree(installation), before))));
        QVERIFY(!installation.exists(journal));
    }
    qInfo("the journal of a whole rollback stood %lld ms; %d of %d kills left it under way", standsNs / 1000000,
          interrupted, Kills + 1);
    QVERIFY(interrupted > 0);
}

// The support log of every run, within its bound: earlier runs beyond it dropped whole, the
// oldest first, and the run's own lines (its configuration, requests, decision) added.
void tst_Rollback::logKeepsNewestRuns()
{
    server->setFile("/update.ini", descriptor(1));
    serveRelease(*server, "/v1/", release(1));
    Installation installation;
    install(installation, "exit 0", 0);
    QByteArray earlier;
    int runs = 0;
    for (; earlier.size() < MaxKeptLogBytes * 3 / 2; ++runs) {
        earlier += "2026-01-01T00:00:00.000Z updater.run: ==== run " + QByteArray::number(runs) + '\n';
        for (int line = 0; line < 10; ++line)
            earlier += "2026-01-01T00:00:00.000Z updater.run: " + QByteArray(1000, 'x') + '\n';
    }
    installation.writeFile(QStringLiteral("update/update.log"), earlier);
    const Installation::Result result = installation.run({QStringLiteral("console")});
    QCOMPARE(result.standardOutput, QByteArray(Succeeded.data(), Succeeded.size()));
    const QByteArray log = installation.readFile(QStringLiteral("update/update.log"));
    const QByteArray ownRun = log.mid(log.lastIndexOf(": ==== "));
    QVERIFY2(log.size() - ownRun.size() <= MaxKeptLogBytes, QByteArray::number(log.size()).constData());
    QVERIFY(log.size() - ownRun.size() > MaxKeptLogBytes - 12 * 1024); // no more than a run dropped too many
    QVERIFY2(log.startsWith("2026-01-01T00:00:00.000Z updater.run: ==== run "), log.left(80).constData());
    QVERIFY(log.contains("==== run " + QByteArray::number(runs - 1) + '\n'));
    QVERIFY(!log.contains("==== run 0\n"));
    QVERIFY2(ownRun.contains("HealthCheck=0") && ownRun.contains("update.ini: 200")
                     && ownRun.contains("nothing to update"),
             ownRun.constData());
}

// An elevated watch on Windows has the desktop's shell start the host, which is then no child of
// its own: it is found among the processes by its path and waited for. Here a process started
// detached stands in for the one the shell starts.
void tst_Rollback::foundAmongProcesses_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("exit-3") << QByteArray("exit 3") << int(ProgramEnd::Status::Ended) << 3;
    QTest::newRow("crash") << QByteArray("crash") << int(ProgramEnd::Status::Ended) << int(0xC0000005);
    QTest::newRow("still-running") << QByteArray("run") << int(ProgramEnd::Status::Running) << 0;
}

void tst_Rollback::foundAmongProcesses()
{
#ifndef Q_OS_WIN
    QSKIP("processes are looked for by their path on Windows only");
#else
    QFETCH(QByteArray, behaviour);
    QFETCH(int, status);
    QFETCH(int, exitCode);
    Installation installation;
    install(installation, behaviour, 0);
    const QString host = installation.path(hostName());
    const qint64 since = processTimeNow();
    QVERIFY(QProcess::startDetached(host, {}));
    const ProgramEnd end = waitForProgram(host, since, 60000, behaviour == "run" ? 2000 : 60000);
    QCOMPARE(int(end.status), status);
    QCOMPARE(end.exitCode, quint32(exitCode));
#endif
}

QTEST_GUILESS_MAIN(tst_Rollback)
#include "tst_rollback.moc"
