#include "publishactions.h"

#include "consoleoutput.h"
#include "progressmeter.h"
#include "publicationcheck.h"
#include "publishcommand.h"
#include "publisher.h"
#include "releasesigner.h"
#include "rolloutchange.h"
#include "signingkeyfile.h"

#include "proxyaccess.h"
#include "releasestatement.h"
#include "reservednames.h"
#include "rollout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <memory>

namespace {
QString tr(const char *text, const char *disambiguation = nullptr, int n = -1)
{
    return QCoreApplication::translate("PublishCommand", text, disambiguation, n);
}

void printWarnings(const QStringList &warnings)
{
    for (const QString &warning : warnings)
        printError(tr("warning: %1").arg(warning));
}

// progress goes to a terminal only; redirected output stays free of '\r' lines
class Progress
{
public:
    explicit Progress(const QString &label)
    {
        if (!ProgressMeter::standardErrorIsTerminal())
            return;
        if (stream.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered))
            meter.reset(new ProgressMeter(&stream, label));
    }
    ~Progress() { finish(); }

    std::function<void(quint64, quint64)> handler()
    {
        if (!meter)
            return {};
        return [this](quint64 done, quint64 total) { meter->update(done, total); };
    }
    void finish()
    {
        if (meter)
            meter->finish();
    }

private:
    QFile stream;
    QScopedPointer<ProgressMeter> meter;
};

QString keyList(const QList<QByteArray> &keys)
{
    QStringList texts;
    for (const QByteArray &key : keys)
        texts.append(keyText(key));
    return texts.join(QLatin1String(", "));
}

QString signedSummary(const ReleaseSigner &signer)
{
    return tr("Signed as release %1, valid until %2, by %3. Sign it again before then:\n"
              "  update-publish --sign KEYFILE SERVER_DIR\n")
        .arg(signer.releaseNumber())
        .arg(signer.expires().toString(Qt::ISODate), keyList(signer.publicKeys()));
}

} // namespace

int publishRelease(const PublishOptions &options)
{
    Publisher publisher(options);
    if (!publisher.checkArguments()) {
        for (const QString &error : publisher.errors())
            printError(error);
        return PublishUsageError;
    }
    const bool prepared = publisher.prepare();
    printWarnings(publisher.warnings());
    if (!prepared) {
        for (const QString &error : publisher.errors())
            printError(error);
        printError(tr("Nothing was published."));
        return PublishFailed;
    }

    bool published = false;
    {
        Progress progress(tr("Publishing"));
        publisher.setProgressHandler(progress.handler());
        published = publisher.publish();
    }
    if (!published) {
        for (const QString &error : publisher.errors())
            printError(error);
        printError(tr("Publishing failed; update.ini was not changed."));
        return PublishFailed;
    }
    printWarnings(publisher.warnings());

    print(stdout,
        tr("Published %n file(s), %1 bytes, as version \"%2\" in %3 (%4 update).\n", nullptr,
            publisher.files().size())
            .arg(publisher.totalSize())
            .arg(options.version, QDir::toNativeSeparators(publisher.folderPath()),
                options.optional ? tr("optional") : tr("forced")));
    if (!options.deltaFrom.isEmpty()) {
        const DeltaMaker &deltas = publisher.deltas();
        print(stdout,
            tr("Made %n patch(es) from earlier releases: the changed files they cover, %1 bytes, "
               "take %2 bytes as patches.\n",
                nullptr, deltas.patches().size())
                .arg(deltas.patchedFileBytes())
                .arg(deltas.largestPatchBytes()));
    }
    print(stdout, tr("Release number %1.\n").arg(publisher.releaseNumber()));
    if (options.rolloutShare >= 0) {
        UpdateDescriptor rollout;
        rollout.rolloutShare = options.rolloutShare;
        rollout.rolloutPercent = rolloutPercentText(options.rolloutShare);
        const RolloutFallback fallback = publisher.rolloutFallback();
        rollout.fallbackFolder = fallback.folder;
        rollout.fallbackVersion = fallback.version;
        rollout.fallbackRelease = fallback.release;
        print(stdout, rolloutSummary(rollout));
    }
    if (publisher.signer().isEnabled())
        print(stdout, signedSummary(publisher.signer()));
    print(stdout, Publisher::urlExplanation(options.folder) + QLatin1Char('\n'));
    return PublishSucceeded;
}

int signAgain(const SigningOptions &options, const QString &serverDir)
{
    ReleaseSigner signer(options);
    if (!signer.checkArguments()) {
        for (const QString &error : signer.errors())
            printError(error);
        return PublishUsageError;
    }
    bool signedAgain = false;
    {
        Progress progress(tr("Verifying"));
        signedAgain = signer.resign(serverDir, progress.handler());
    }
    printWarnings(signer.warnings());
    if (!signedAgain) {
        for (const QString &error : signer.errors())
            printError(error);
        printError(tr("Nothing was signed; update.sig was not changed."));
        return PublishFailed;
    }
    print(stdout,
        tr("%1: version \"%2\" in folder %3, %n file(s) verified.\n", nullptr, signer.fileCount())
            .arg(QDir::toNativeSeparators(serverDir), signer.version(), signer.folder()));
    print(stdout, signedSummary(signer));
    return PublishSucceeded;
}

int changeRollout(const SigningOptions &options, int share, const QString &serverDir)
{
    RolloutChange change(options, share, serverDir);
    if (!change.checkArguments()) {
        for (const QString &error : change.errors())
            printError(error);
        return PublishUsageError;
    }
    bool changed = false;
    {
        Progress progress(tr("Verifying"));
        changed = change.run(progress.handler());
    }
    printWarnings(change.warnings());
    if (!changed) {
        for (const QString &error : change.errors())
            printError(error);
        printError(tr("The rollout was not changed; update.ini was not changed."));
        return PublishFailed;
    }
    const UpdateDescriptor descriptor = change.descriptor();
    print(stdout,
        tr("%1: version \"%2\" in folder %3, now release %4.\n")
            .arg(QDir::toNativeSeparators(serverDir), descriptor.version, descriptor.folder)
            .arg(descriptor.release));
    print(stdout, rolloutSummary(descriptor));
    if (change.signer().isEnabled())
        print(stdout, signedSummary(change.signer()));
    return PublishSucceeded;
}

int makeKeyPair(const QString &path)
{
    QByteArray publicKey;
    QString error;
    if (!writeSigningKeyFiles(path, publicKey, error)) {
        printError(error);
        return PublishFailed;
    }
    const QString key = keyText(publicKey);
    print(stdout,
        tr("Wrote the secret key to %1 and the public key to %2.\n"
           "Keep %1 private: whoever has it can sign releases your clients install.\n"
           "Public key: %3\n"
           "Clients require releases signed by it with this line in the [Update] group of\n"
           "their system.cfg:\n")
            .arg(QDir::toNativeSeparators(path),
                QDir::toNativeSeparators(path + QLatin1String(".pub")), key));
    print(stdout, QLatin1String("PublicKeys=") + key + QLatin1Char('\n'));
    return PublishSucceeded;
}

int checkPublication(
    const QString &location, const QList<QByteArray> &trustedKeys, const ProxySetting &proxy)
{
    const bool remote = PublicationCheck::isServerUrl(location);
    PublicationCheck check = remote
        ? PublicationCheck(std::make_unique<ServerSource>(location, proxy))
        : PublicationCheck(location);
    const QString serverDir = remote ? location : QDir::toNativeSeparators(location);
    // clients append the folder to the base URL without a separator
    if (remote && !location.endsWith(QLatin1Char('/')))
        printError(tr("warning: %1 does not end with '/': clients look for the release folder "
                      "at %1FOLDER/ and for update.ini at %1/update.ini.")
                       .arg(location));
    check.setTrustedKeys(trustedKeys);
    bool passed = false;
    {
        Progress progress(tr("Verifying"));
        check.setProgressHandler(progress.handler());
        passed = check.run();
    }
    printWarnings(check.warnings());
    for (const QString &problem : check.problems())
        printError(problem);
    if (!passed) {
        if (check.isSigned() || !trustedKeys.isEmpty())
            printError(tr("The publication in %1 does not match its manifest or its signed "
                          "statement.")
                           .arg(serverDir));
        else
            printError(tr("The publication in %1 does not match its manifest.").arg(serverDir));
        return PublishFailed;
    }
    QString line = tr("%1: version \"%2\" in folder %3, %n file(s) verified (%4 update)", nullptr,
        check.fileCount())
                       .arg(serverDir, check.version(), check.folder(),
                           check.isOptional() ? tr("optional") : tr("forced"));
    if (check.isSigned())
        line += tr(", signed as release %1, valid until %2, by %3")
                    .arg(check.statement().release)
                    .arg(check.statement().expires.toString(Qt::ISODate),
                        keyList(check.signingKeys()));
    print(stdout, line + QLatin1String(".\n"));
    QString rollout = rolloutSummary(check.descriptor());
    const PublicationCheck *fallback = check.fallbackCheck();
    if (fallback) {
        QString verified = tr("Fallback: %n file(s) verified", nullptr, fallback->fileCount());
        if (fallback->isSigned())
            verified += tr(", signed in %1, valid until %2, by %3")
                            .arg(fallbackStatementName(),
                                fallback->statement().expires.toString(Qt::ISODate),
                                keyList(fallback->signingKeys()));
        rollout += verified + QLatin1String(".\n");
    }
    print(stdout, rollout);
    return PublishSucceeded;
}
