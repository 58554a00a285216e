#include "deltaindex.h"
#include "deltamaker.h"
#include "descriptor.h"
#include "digest.h"
#include "filewrite.h"
#include "publicationurls.h"
#include "releasestatement.h"
#include "releasetrust.h"
#include "reservednames.h"
#include "support/installation.h"
#include "support/release.h"
#include "support/testserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

// Black-box console runs of the built updater against signed releases that an attacker has
// tampered with, replayed, frozen or mixed: each must be refused with a message that says why,
// before anything past the metadata is fetched, and leave the installation as it was.
class tst_SignedRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void attacks_data();
    void attacks();
    void fallback_data();
    void fallback();
    void keyRotation();
    void statementFormat_data();
    void statementFormat();
    void clock_data();
    void clock();

private:
    struct Served
    {
        QByteArray descriptor;
        Files files;
        QByteArray manifest;
        ReleaseStatement statement;
        QByteArray signatures;
    };
    // a release as the vendor publishes it, signed by the given secret keys
    static Served signedRelease(const Files &files, const QString &folder, quint64 release,
                                const QList<QByteArray> &secretKeys, const QString &updateType = "0");
    static void sign(Served &served, const QList<QByteArray> &secretKeys);
    void serve(const Served &served);
    bool install(const Files &files, const QList<QByteArray> &publicKeys, quint64 release);
    // the last console report of a run
    static QJsonObject lastReport(const Installation::Result &result);

    QScopedPointer<TestServer> server;
    QScopedPointer<Installation> installation;
    SigningKeyPair vendor;
    SigningKeyPair other;
};

namespace {
const Files V1 {{"app.bin", "app 1"}, {"lib/a.dll", "a1"}, {"same.txt", "same"}};
const Files V2 {{"app.bin", "app 2"}, {"lib/a.dll", "a2"}, {"same.txt", "same"}};
const Files V3 {{"app.bin", "app 3"}, {"lib/a.dll", "a3"}, {"same.txt", "same"}};

QString configLine(const QList<QByteArray> &publicKeys)
{
    QStringList texts;
    for (const QByteArray &key : publicKeys)
        texts.append(keyText(key));
    return texts.join(QLatin1Char(' '));
}
} // namespace

tst_SignedRelease::Served tst_SignedRelease::signedRelease(const Files &files,
    const QString &folder, quint64 release, const QList<QByteArray> &secretKeys,
    const QString &updateType)
{
    Served served;
    served.files = files;
    served.descriptor = descriptorText(updateType, folder, "v" + QString::number(release));
    served.manifest = manifestText(files);
    ReleaseStatement &statement = served.statement;
    statement.release = release;
    statement.version = "v" + QString::number(release);
    statement.folder = folder;
    statement.issued = QDateTime::currentDateTimeUtc().addSecs(-3600);
    statement.expires = statement.issued.addDays(30);
    statement.descriptorSha256 = sha256Hex(served.descriptor);
    statement.manifestSha256 = sha256Hex(served.manifest);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        statement.files.insert(it.key(), signedHashHex(statement.fileHash, it.value()));
    sign(served, secretKeys);
    return served;
}

void tst_SignedRelease::sign(Served &served, const QList<QByteArray> &secretKeys)
{
    served.signatures.clear();
    for (const QByteArray &key : secretKeys)
        served.signatures += signatureLine(statementText(served.statement), key);
}

void tst_SignedRelease::serve(const Served &served)
{
    server->setFile("/update.ini", served.descriptor);
    if (!served.signatures.isEmpty())
        server->setFile("/update.sig", statementText(served.statement) + served.signatures);
    const QByteArray folder = "/" + served.statement.folder.toUtf8() + "/";
    for (auto it = served.files.cbegin(); it != served.files.cend(); ++it)
        server->setFile(folder + it.key().toUtf8(), it.value());
    server->setFile(folder + "/md5.txt", served.manifest);
}

bool tst_SignedRelease::install(const Files &files, const QList<QByteArray> &publicKeys,
                                quint64 release)
{
    installation.reset(new Installation);
    if (!installation->isValid() || !writeTree(installation->root(), files))
        return false;
    installation->writeFile("update_md5.info", manifestText(files));
    if (release > 0)
        installation->writeFile(releaseRecordName(), "release " + QByteArray::number(release) + '\n');
    installation->installHost();
    QMap<QString, QString> config {{"URL", server->baseUrl() + QLatin1Char('/')},
                                   {"ExeName", "host.sh"}};
    if (!publicKeys.isEmpty())
        config.insert("PublicKeys", configLine(publicKeys));
    installation->writeConfig(config);
    return true;
}

QJsonObject tst_SignedRelease::lastReport(const Installation::Result &result)
{
    const QByteArray output = result.standardOutput;
    return QJsonDocument::fromJson(output.mid(output.lastIndexOf("{\""))).object();
}

void tst_SignedRelease::initTestCase()
{
    vendor = generateSigningKeyPair();
    other = generateSigningKeyPair();
    QCOMPARE(vendor.publicKey.size(), 32);
    QVERIFY(vendor.publicKey != other.publicKey);
}

void tst_SignedRelease::init()
{
    server.reset(new TestServer);
    QVERIFY(server->isListening());
}

void tst_SignedRelease::attacks_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("message"); // how the report's text starts; empty: installed
    QTest::addColumn<bool>("filesFetched"); // whether a file of the release may be requested

    QTest::newRow("untouched") << "" << "" << true;
    QTest::newRow("unsigned-configuration") << "unsigned" << "" << true;
    // the same size: only the signed hash can tell (the digest text is not computed for a file
    // with a signed hash)
    QTest::newRow("file-changed-after-signing") << "file" << "更新文件app.bin与签名不符" << true;
    // statements of the first format, SHA-256 for every file, are still taken
    QTest::newRow("format-1-statement") << "format-1" << "" << true;
    // a cached file is used again by its signed hash: the one that matches is not fetched
    QTest::newRow("cache-holds-one-good-one-bad") << "cache" << "" << true;
    QTest::newRow("format-1-file-changed-after-signing") << "format-1-file" << "更新文件app.bin与签名不符" << true;
    QTest::newRow("file-and-md5.txt-changed") << "file+manifest" << "升级签名与更新列表文件不符" << false;
    QTest::newRow("md5.txt-changed") << "manifest" << "升级签名与更新列表文件不符" << false;
    QTest::newRow("forced-flag-flipped") << "forced" << "升级签名与升级描述文件不符" << false;
    QTest::newRow("folder-flipped") << "folder" << "升级签名与升级描述文件不符" << false;
    QTest::newRow("unknown-key") << "other-key" << "升级签名无效:没有受信任的密钥签名" << false;
    QTest::newRow("no-statement") << "no-statement" << "下载升级签名文件失败:" << false;
    QTest::newRow("not-a-statement") << "garbage" << "升级签名文件格式不对" << false;
    QTest::newRow("replayed-older-release") << "replay" << "升级版本回退:发布序号4低于已安装的5" << false;
    // under the number the installation holds, only what it accepted under it
    QTest::newRow("same-number-other-release") << "same-number" << "升级版本冲突:发布序号5已用于另一个发布" << false;
    QTest::newRow("same-release-signed-again") << "signed-again" << "" << true;
    QTest::newRow("record-without-hashes") << "old-record" << "" << true;
    // kept before anything is installed, or nothing is
    QTest::newRow("record-cannot-be-written") << "record-unwritable" << "创建文件[" << false;
    // a manifest that is not the signed one is not even counted
    QTest::newRow("md5.txt-other-and-too-long") << "long-manifest" << "升级签名与更新列表文件不符" << false;
    QTest::newRow("expired") << "expired" << "升级签名已过期:" << false;
    QTest::newRow("files-of-N-under-metadata-of-N+1") << "mix-files" << "升级签名与更新列表文件不符" << false;
    QTest::newRow("update.ini-of-N-with-statement-of-N+1") << "mix-descriptor" << "升级签名与升级描述文件不符" << false;
    QTest::newRow("statement-lists-fewer-files") << "fewer-files" << "更新文件lib/a.dll未经签名" << false;
    // a file whose MD5 matches but whose signed SHA-256 does not: what an MD5 collision would be
    QTest::newRow("signed-hash-differs") << "sha256" << "更新文件app.bin与签名不符" << true;
    // the index of patches is signed like a file: one changed after signing is not used, and
    // the files are fetched whole
    QTest::newRow("patches-as-signed") << "patches" << "" << true;
    QTest::newRow("patch-index-changed-after-signing") << "patch-index" << "" << true;
    // the rollout's keys are update.ini's: edited after signing, the release is refused
    QTest::newRow("rollout-edited") << "rollout" << "升级签名与升级描述文件不符" << false;
    QTest::newRow("release-number-not-the-signed-one") << "release-key" << "升级签名与升级描述文件不符" << false;
}

void tst_SignedRelease::attacks()
{
    QFETCH(QString, attack);
    QFETCH(QString, message);
    QFETCH(bool, filesFetched);

    const QList<QByteArray> vendorKey {vendor.secretKey};
    Served served = signedRelease(V3, "v3", 5, vendorKey);
    quint64 installedRelease = 3;
    // the record as the installation keeps it, by what it accepted under its number
    const auto recordOf = [](const Served &accepted, const QDateTime &issued) -> QByteArray {
        return "release " + QByteArray::number(accepted.statement.release) + "\nissued "
            + issued.toString(Qt::ISODate).toLatin1() + "\nupdate.ini "
            + sha256Hex(accepted.descriptor) + "\nmd5.txt " + sha256Hex(accepted.manifest) + '\n';
    };
    QByteArray record; // empty: "release N" alone
    Files installed = V1;
    QByteArray patchPath;
    if (attack.startsWith("format-1")) {
        served.statement.fileHash = SignedHashKind::Sha256;
        for (auto it = V3.cbegin(); it != V3.cend(); ++it)
            served.statement.files.insert(it.key(), sha256Hex(it.value()));
        sign(served, vendorKey);
    }
    if (attack.startsWith("patch")) {
        // a file large enough for a patch to pay, with a small edit from the installed one
        QByteArray earlier(64 * 1024, Qt::Uninitialized);
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(earlier.data()), 16 * 1024);
        installed["app.bin"] = earlier;
        Files v3 = V3;
        v3["app.bin"] = QByteArray(earlier).replace(30000, 5, "app 3");
        // a file of the name the run's log would take in the cache, verified before the
        // (delayed) patch is applied and logged: the log must go elsewhere
        v3["update.log"] = "the vendor's own update.log";
        served = signedRelease(v3, "v3", 5, vendorKey);
        QTemporaryDir scratch;
        QVERIFY(writeFileBytes(scratch.filePath("1"), earlier)
                && writeFileBytes(scratch.filePath("3"), v3["app.bin"]));
        DeltaPatch patch {"app.bin", digestText(earlier), 0, QByteArray()};
        QString error;
        QVERIFY2(makePatch(scratch.filePath("1"), scratch.filePath("3"), scratch.filePath("p"), 3,
                           1000, patch.size, patch.digest, error),
                 qPrintable(error));
        QFile made(scratch.filePath("p"));
        QVERIFY(made.open(QIODevice::ReadOnly));
        patchPath = "/v3/" + deltaPatchPath(patch).toUtf8();
        TestServer::Response delayed;
        delayed.body = made.readAll();
        delayed.delayMs = 300;
        server->setResponse(patchPath, delayed);
        const QByteArray index = deltaIndexText({patch});
        served.statement.files.insert(deltaIndexName(), signedHashHex(served.statement.fileHash, index));
        // announced in update.ini, as update-publish --delta-from does
        served.descriptor += "[Delta]\nIndex=update_delta.txt\n";
        served.statement.descriptorSha256 = sha256Hex(served.descriptor);
        sign(served, vendorKey);
        // changed: the same patch, and another one besides
        DeltaPatch more = patch;
        more.path = "lib/a.dll";
        server->setFile("/v3/" + deltaIndexName().toUtf8(),
                        attack == "patches" ? index : deltaIndexText({patch, more}));
    }
    if (attack == "file" || attack == "format-1-file") {
        served.files["app.bin"] = "evil!";
    } else if (attack == "file+manifest" || attack == "manifest") {
        if (attack == "file+manifest")
            served.files["app.bin"] = "evil!";
        Files listed = V3;
        listed["app.bin"] = "evil!";
        served.manifest = manifestText(listed);
    } else if (attack == "forced") {
        served.descriptor = descriptorText("1", "v3", "v5");
    } else if (attack == "folder") {
        served.descriptor = descriptorText("0", "v2", "v5");
    } else if (attack == "other-key") {
        sign(served, {other.secretKey});
    } else if (attack == "garbage") {
        served.signatures = "signature ed25519 x y\n";
    } else if (attack == "replay") {
        served = signedRelease(V2, "v2", 4, vendorKey);
        installedRelease = 5;
    } else if (attack == "same-number") {
        installedRelease = 5;
        record = recordOf(signedRelease(V2, "v2", 5, vendorKey), served.statement.issued);
    } else if (attack == "signed-again") {
        // accepted when first signed, ten days ago; the same bytes signed again since
        installedRelease = 5;
        record = recordOf(served, served.statement.issued.addDays(-10));
    } else if (attack == "old-record") {
        installedRelease = 5;
    } else if (attack == "long-manifest") {
        served.manifest = QByteArray(500001, '\n');
    } else if (attack == "expired") {
        served.statement.issued = QDateTime::currentDateTimeUtc().addDays(-40);
        served.statement.expires = QDateTime::currentDateTimeUtc().addDays(-2);
        sign(served, vendorKey);
    } else if (attack == "mix-files") {
        served.files = V2;
        served.manifest = manifestText(V2);
    } else if (attack == "mix-descriptor") {
        served.descriptor = signedRelease(V2, "v3", 4, vendorKey).descriptor;
    } else if (attack == "fewer-files") {
        served.statement.files.remove("lib/a.dll");
        sign(served, vendorKey);
    } else if (attack == "rollout") {
        served.descriptor += "[Rollout]\nPercent=0\n";
    } else if (attack == "release-key") {
        served.descriptor += "[Version]\nRelease=6\n";
        served.statement.descriptorSha256 = sha256Hex(served.descriptor);
        sign(served, vendorKey);
    } else if (attack == "sha256") {
        served.statement.files["app.bin"] = signedHashHex(served.statement.fileHash, "something else");
        sign(served, vendorKey);
    }
    serve(served);
    serveRelease(*server, "/v2/", V2);
    if (attack == "no-statement")
        server->removeResponse("/update.sig");
    const QList<QByteArray> trusted
        = attack == "unsigned" ? QList<QByteArray>() : QList<QByteArray> {vendor.publicKey};
    QVERIFY(install(installed, trusted, installedRelease));
    if (!record.isEmpty())
        installation->writeFile(releaseRecordName(), record);
    if (attack == "cache") {
        installation->writeFile("update/app.bin", V3.value("app.bin"));
        installation->writeFile("update/lib/a.dll", "a4"); // of the size, not the signed one
    }
    if (attack == "record-unwritable") {
        QVERIFY(QFile::remove(installation->path(releaseRecordName())));
        QVERIFY(QDir().mkpath(installation->path(releaseRecordName())));
    }
    const QMap<QString, QByteArray> before = snapshotTree(installation->root());

    const Installation::Result result = installation->run({"console"});
    QVERIFY2(result.finished, "the run was cut off or crashed");
    const QJsonObject report = lastReport(result);
    const QString text = report.value("errormsg").toString();
    const QList<QByteArray> requested = server->requestedPaths();
    if (message.isEmpty()) {
        QVERIFY2(report.value("success").toBool(), qPrintable(text));
        QCOMPARE(result.exitCode, 0);
        const QMap<QString, QByteArray> tree = snapshotTree(installation->root());
        for (auto it = served.files.cbegin(); it != served.files.cend(); ++it)
            QCOMPARE(tree.value(it.key()), it.value());
        if (attack == "cache") {
            QVERIFY(!requested.contains("/v3/app.bin"));
            QVERIFY(requested.contains("/v3/lib/a.dll"));
        }
        if (!patchPath.isEmpty()) { // the patch replaced the file
            QCOMPARE(requested.contains(patchPath), attack == "patches");
            QCOMPARE(requested.contains("/v3/app.bin"), attack != "patches");
        }
        // an unsigned configuration asks for no statement and keeps no record
        QCOMPARE(requested.contains("/update.sig"), attack != "unsigned");
        QCOMPARE(installation->readFile(releaseRecordName()).startsWith("release 5\n"),
                 attack != "unsigned");
        // with what was accepted under the number
        if (attack != "unsigned") {
            const QByteArray kept = installation->readFile(releaseRecordName());
            QVERIFY2(kept.contains("\nupdate.ini " + sha256Hex(served.descriptor) + '\n')
                         && kept.contains("\nmd5.txt " + sha256Hex(served.manifest) + '\n'),
                     kept.constData());
        }
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!report.value("success").toBool());
    QVERIFY2(text.startsWith(message), qPrintable(text));
    if (!filesFetched) // nothing past the metadata
        QVERIFY(!requested.contains("/v3/app.bin") && !requested.contains("/v2/app.bin"));
    // nothing installed, the record as it was; a release that got as far as its downloads was
    // recorded before them
    QMap<QString, QByteArray> after = snapshotTree(installation->root());
    if (filesFetched) {
        QVERIFY(after.value(releaseRecordName()).startsWith("release 5\n"));
        after.insert(releaseRecordName(), before.value(releaseRecordName()));
    }
    for (auto it = after.begin(); it != after.end();) {
        if (it.key().startsWith("update/") || it.key() == "update.ini")
            it = after.erase(it);
        else
            ++it;
    }
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
    QCOMPARE(after.size(), before.size());
}

// Left out of a signed release's rollout, an installation takes the fallback only as its own
// statement signs it, bound to the same update.ini.
void tst_SignedRelease::fallback_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("message"); // how the report's text starts; empty: installed

    QTest::newRow("as-signed") << "" << "";
    QTest::newRow("no-statement") << "missing" << "下载回退版本的签名文件失败:";
    QTest::newRow("unknown-key") << "other-key" << "升级签名无效:没有受信任的密钥签名";
    QTest::newRow("number-not-update.ini's") << "number" << "升级签名与升级描述文件不符";
    QTest::newRow("bound-to-another-update.ini") << "unbound" << "升级签名与升级描述文件不符";
    QTest::newRow("file-changed-after-signing") << "file" << "更新文件app.bin与签名不符";
}

void tst_SignedRelease::fallback()
{
    QFETCH(QString, change);
    QFETCH(QString, message);

    const QList<QByteArray> vendorKey {vendor.secretKey};
    // release 5 halted, its fallback release 4 in folder v2
    Served served = signedRelease(V3, "v3", 5, vendorKey);
    served.descriptor += "[Rollout]\nPercent=0\nFallback=v2\nFallbackVersion=v4\nFallbackRelease=4\n";
    served.statement.descriptorSha256 = sha256Hex(served.descriptor);
    sign(served, vendorKey);
    Served fallback = signedRelease(V2, "v2", 4, vendorKey);
    if (change == "number")
        fallback.statement.release = 6;
    if (change != "unbound")
        fallback.statement.descriptorSha256 = sha256Hex(served.descriptor);
    if (change == "file")
        fallback.statement.files["app.bin"] = signedHashHex(fallback.statement.fileHash, "something else");
    sign(fallback, change == "other-key" ? QList<QByteArray> {other.secretKey} : vendorKey);
    serve(served);
    serveRelease(*server, "/v2/", V2);
    if (change != "missing")
        server->setFile("/" + fallbackStatementName().toUtf8(),
                        statementText(fallback.statement) + fallback.signatures);
    QVERIFY(install(V1, {vendor.publicKey}, 3));

    const Installation::Result result = installation->run({"console"});
    QVERIFY(result.finished);
    const QString text = lastReport(result).value("errormsg").toString();
    QVERIFY2(message.isEmpty() ? result.exitCode == 0 : text.startsWith(message), qPrintable(text));
    QCOMPARE(installation->readFile("app.bin"), QByteArray(message.isEmpty() ? "app 2" : "app 1"));
    // the record is the fallback's once its statement verified (kept before its files are
    // fetched), never the halted release's
    const bool accepted = message.isEmpty() || change == "file";
    QVERIFY(installation->readFile(releaseRecordName())
                .startsWith(accepted ? "release 4\n" : "release 3\n"));
    QVERIFY(!server->requestedPaths().contains("/v3/app.bin"));
}

// An installation that skipped three releases updates to one signed by both the old and the new
// key, whose system.cfg trusts only the new key; the next release, signed by the new key alone,
// is accepted, and one signed by the old key alone no longer is.
void tst_SignedRelease::keyRotation()
{
    const SigningKeyPair next = generateSigningKeyPair();
    QVERIFY(install(V1, {vendor.publicKey}, 1));
    QByteArray rotatedConfig = installation->readFile("system.cfg");
    const QByteArray oldKey = keyText(vendor.publicKey).toLatin1();
    QVERIFY(rotatedConfig.contains(oldKey));
    rotatedConfig.replace(oldKey, keyText(next.publicKey).toLatin1());

    Files v5 = V3;
    v5.insert("system.cfg", rotatedConfig);
    serve(signedRelease(v5, "v5", 5, {vendor.secretKey, next.secretKey}));
    Installation::Result result = installation->run({"console"});
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    QCOMPARE(installation->readFile("system.cfg"), rotatedConfig);

    Files v6 = v5;
    v6["app.bin"] = "app 6";
    serve(signedRelease(v6, "v6", 6, {vendor.secretKey}));
    result = installation->run({"console"});
    QVERIFY2(result.exitCode == 1,
             QByteArray(result.standardOutput + result.standardError).constData());
    QCOMPARE(installation->readFile("app.bin"), QByteArray("app 3"));
    QVERIFY2(lastReport(result).value("errormsg").toString().startsWith("升级签名无效"),
             result.standardOutput.constData());

    serve(signedRelease(v6, "v6", 6, {next.secretKey}));
    result = installation->run({"console"});
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    QCOMPARE(installation->readFile("app.bin"), QByteArray("app 6"));
    QVERIFY(installation->readFile(releaseRecordName()).startsWith("release 6\n"));
}

// Statements that are not what the format allows are malformed, whatever their signatures; a
// signature over other bytes, or by a key that is not trusted, leaves one unsigned.
void tst_SignedRelease::statementFormat_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to"); // the first occurrence replaced, then signed again
    QTest::addColumn<bool>("resign");
    QTest::addColumn<int>("error");

    const int malformed = int(StatementError::Malformed);
    QTest::newRow("as-signed") << QByteArray() << QByteArray() << false << int(StatementError::None);
    // format 1 is still read (the file hashes as they are: SHA-256 there)
    QTest::newRow("format-1") << QByteArray("statement 2\n") << QByteArray("statement 1\n") << true << int(StatementError::None);
    QTest::newRow("unknown-format") << QByteArray("statement 2\n") << QByteArray("statement 3\n") << true << malformed;
    QTest::newRow("text-changed-after-signing") << QByteArray("release 5") << QByteArray("release 6") << false << int(StatementError::NotSigned);
    QTest::newRow("release-zero") << QByteArray("release 5") << QByteArray("release 0") << true << malformed;
    QTest::newRow("release-not-a-number") << QByteArray("release 5") << QByteArray("release 5x") << true << malformed;
    QTest::newRow("field-twice") << QByteArray("folder v3\n") << QByteArray("folder v3\nfolder v4\n") << true << malformed;
    QTest::newRow("field-missing") << QByteArray("folder v3\n") << QByteArray() << true << malformed;
    QTest::newRow("unknown-field") << QByteArray("folder v3\n") << QByteArray("folder v3\nmirror x\n") << true << malformed;
    QTest::newRow("upper-case-hash") << QByteArray("update.ini ") << QByteArray("update.ini A") << true << malformed;
    QTest::newRow("local-time") << QByteArray("Z\nexpires") << QByteArray("\nexpires") << true << malformed;
    QTest::newRow("raw-space-in-text") << QByteArray("folder v3") << QByteArray("folder v 3") << true << malformed;
    QTest::newRow("invalid-utf8-path") << QByteArray(" app.bin") << QByteArray(" %FFapp.bin") << true << malformed;
    // the signature is checked before the text is parsed: a broken text by no trusted key is
    // only unsigned
    QTest::newRow("malformed-and-unsigned") << QByteArray("folder v3\n") << QByteArray("folder v3\nfolder v4\n") << false << int(StatementError::NotSigned);
    // a key signs once: repeated lines must not multiply the work
    QTest::newRow("key-signs-twice") << QByteArray("SIGNATURES") << QByteArray("TWICE") << false << malformed;
    QTest::newRow("other-line-after-signatures") << QByteArray("SIGNATURES") << QByteArray("SIGNATURES\nrelease 9\n") << false << malformed;
    QTest::newRow("no-signature") << QByteArray("SIGNATURES") << QByteArray("") << false << int(StatementError::NotSigned);
}

void tst_SignedRelease::statementFormat()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(bool, resign);
    QFETCH(int, error);

    const Served served = signedRelease(V3, "v3", 5, {vendor.secretKey});
    QByteArray text = statementText(served.statement);
    QByteArray signatures = served.signatures;
    if (from == "SIGNATURES") {
        signatures = to.isEmpty() ? QByteArray()
                                  : signatures + (to == "TWICE" ? signatures : to.mid(1));
    } else if (!from.isEmpty()) {
        const int at = text.indexOf(from);
        QVERIFY(at >= 0);
        text.replace(at, from.size(), to);
        if (resign)
            signatures = signatureLine(text, vendor.secretKey);
    }
    ReleaseStatement statement;
    QCOMPARE(int(readSignedStatement(text + signatures, {vendor.publicKey}, statement)), error);
    if (error == int(StatementError::None)) {
        QCOMPARE(statement.release, quint64(5));
        QCOMPARE(statement.files.value("lib/a.dll"), signedHashHex(SignedHashKind::Blake2b, "a3"));
        QCOMPARE(statement.fileHash, text.startsWith("updater-release-statement 1\n")
                                         ? SignedHashKind::Sha256 : SignedHashKind::Blake2b);
        // a key that is not trusted signs nothing
        QCOMPARE(int(readSignedStatement(text + signatures, {other.publicKey}, statement)),
                 int(StatementError::NotSigned));
    }
}

// The clock may run a day ahead of the vendor's; a clock far behind still refuses a statement
// that expired before the newest one the installation accepted was signed.
void tst_SignedRelease::clock_data()
{
    QTest::addColumn<int>("expiresInHours"); // relative to the machine's clock
    QTest::addColumn<int>("newestSeenInHours"); // 0: no record
    QTest::addColumn<bool>("refused");

    QTest::newRow("valid") << 24 << 0 << false;
    QTest::newRow("expired-within-skew") << -23 << 0 << false;
    QTest::newRow("expired-beyond-skew") << -25 << 0 << true;
    QTest::newRow("clock-behind-newest-signed-later") << 24 << 50 << true;
    QTest::newRow("clock-behind-newest-signed-earlier") << 24 << 20 << false;
}

void tst_SignedRelease::clock()
{
    QFETCH(int, expiresInHours);
    QFETCH(int, newestSeenInHours);
    QFETCH(bool, refused);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    Served served = signedRelease(V3, "v3", 5, {});
    served.statement.issued = now.addDays(-10);
    served.statement.expires = now.addSecs(expiresInHours * 3600);
    sign(served, {vendor.secretKey});
    ReleaseRecord record;
    record.release = 5;
    if (newestSeenInHours != 0)
        record.newestIssued = now.addSecs(newestSeenInHours * 3600);
    UpdateDescriptor descriptor;
    descriptor.folder = "v3";
    descriptor.version = "v5";
    ReleaseStatement statement;
    QString refusal;
    const bool accepted
        = verifyStatement(statementText(served.statement) + served.signatures, {vendor.publicKey},
                          served.descriptor, descriptor, record, now, statement, refusal);
    QCOMPARE(refusal.startsWith("升级签名已过期"), refused);
    if (!refused)
        QVERIFY2(accepted && refusal.isEmpty(), qPrintable(refusal));
}

QTEST_GUILESS_MAIN(tst_SignedRelease)
#include "tst_signedrelease.moc"
