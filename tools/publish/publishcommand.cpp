#include "publishcommand.h"

#include "consoleoutput.h"
#include "publicationcheck.h"
#include "publishactions.h"
#include "publishhelp.h"
#include "publisher.h"
#include "releasesigner.h"
#include "signingkeyfile.h"

#include "proxyaccess.h"
#include "rollout.h"
#include "tlstrust.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

namespace {
QString tr(const char *text, const char *disambiguation = nullptr, int n = -1)
{
    return QCoreApplication::translate("PublishCommand", text, disambiguation, n);
}

int usageError(const QString &message)
{
    printError(message);
    print(stderr,
        tr("Try '%1 --help' for more information.\n").arg(QLatin1String(PublishProgramName)));
    return PublishUsageError;
}

} // namespace

int runPublishCommand(const QStringList &arguments)
{
    QCoreApplication::setApplicationName(QLatin1String(PublishProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(PUBLISH_TOOL_VERSION));

    // "--version TEXT" names the release; given alone, it asks for this tool's version
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--version")) {
        print(stdout,
            QLatin1String(PublishProgramName) + QLatin1Char(' ')
                + QCoreApplication::applicationVersion() + QLatin1Char('\n'));
        return PublishSucceeded;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(publishDescription());
    const QCommandLineOption helpOption(
        {QStringLiteral("h"), QStringLiteral("help")}, tr("Displays this help."));
    const QCommandLineOption versionOption(
        {QStringLiteral("r"), QStringLiteral("release-version"), QStringLiteral("version")},
        tr("The version text users are shown (required when publishing)."), tr("text"));
    const QCommandLineOption folderOption({QStringLiteral("f"), QStringLiteral("folder")},
        tr("The folder below SERVER_DIR for this release (default: Base). Use a new one "
           "for each release, e.g. v2.1; ASCII letters, digits and - _ . ~ + only."),
        tr("name"), QStringLiteral("Base"));
    const QCommandLineOption optionalOption(QStringLiteral("optional"),
        tr("Publish an optional update; users may decline it (default: forced)."));
    const QCommandLineOption replaceOption(QStringLiteral("replace"),
        tr("Replace an existing folder of the same name instead of refusing."));
    const QCommandLineOption checkOption(QStringLiteral("check"),
        tr("Verify the publication in SERVER_DIR: every file listed in md5.txt of the "
           "folder update.ini names must exist with the listed size and digest."));
    const QCommandLineOption signOption(QStringLiteral("sign"),
        tr("Sign the release with the secret key in this file (may be given more than once). "
           "With SERVER_DIR alone: sign the publication there again."),
        tr("keyfile"));
    const QCommandLineOption expiresOption(QStringLiteral("expires"),
        tr("Days until clients refuse the signed statement as stale (default: %1, at most %2).")
            .arg(SigningOptions::DefaultExpiryDays)
            .arg(SigningOptions::MaxExpiryDays),
        tr("days"));
    const QCommandLineOption releaseNumberOption(QStringLiteral("release-number"),
        tr("The number of the signed release (default: one more than the published one)."),
        tr("n"));
    const QCommandLineOption statementFormatOption(QStringLiteral("statement-format"),
        tr("With --sign: the format of the signed statement, 2 (default for a first one) or 1 for "
           "updaters that predate format 2 (default: that of the statement published now)."),
        tr("n"));
    const QCommandLineOption publicKeyOption(QStringLiteral("public-key"),
        tr("With --check: require a signature by this public key, given as base64 or as the "
           "path of a .pub file (may be given more than once)."),
        tr("key"));
    const QCommandLineOption caCertificatesOption(QStringLiteral("ca-certificates"),
        tr("With --check URL: trust the certificate authorities in this PEM file instead of the "
           "system's, as clients with CaCertificates in system.cfg do."),
        tr("file"));
    const QCommandLineOption proxyOption(QStringLiteral("proxy"),
        tr("With --check URL: \"system\" (the default), \"none\" or "
           "http://[user[:password]@]host[:port], as Proxy in system.cfg."),
        tr("proxy"));
    const QCommandLineOption keygenOption(QStringLiteral("keygen"),
        tr("Write a new signing key pair: the secret key to this file, the public key to the "
           "same name with .pub appended."),
        tr("keyfile"));
    const QCommandLineOption deltaFromOption(QStringLiteral("delta-from"),
        tr("Make patches to this release from an earlier one: its release directory or a server "
           "directory it was published to (may be given more than once). Clients whose files "
           "match an earlier version fetch the patch instead of the file."),
        tr("dir"));
    const QCommandLineOption deltaLevelOption(QStringLiteral("delta-level"),
        tr("The zstd level of the patches (default: %1, 1 to %2).")
            .arg(DefaultPatchLevel)
            .arg(ZstdMaxLevel),
        tr("n"));
    const QCommandLineOption rolloutOption(QStringLiteral("rollout"),
        tr("Publish the release to this share of the installations, in percent (0 to 100, at "
           "most 4 decimals). With SERVER_DIR alone: change the share of the live publication "
           "(0 halts it)."),
        tr("percent"));
    const QCommandLineOption fallbackOption(QStringLiteral("fallback"),
        tr("With --rollout: the release the installations outside the share update to instead; "
           "only the folder of the live release or of the live fallback is taken."),
        tr("folder"));
    const QCommandLineOption inRolloutOption(QStringLiteral("in-rollout"),
        tr("Tell whether the installation with this identifier (the line of its "
           "update_id.info) takes the live release of SERVER_DIR or URL."),
        tr("id"));
    parser.addOptions({helpOption, versionOption, folderOption, optionalOption, replaceOption,
        checkOption, signOption, expiresOption, releaseNumberOption, statementFormatOption,
        publicKeyOption, keygenOption, deltaFromOption, deltaLevelOption, caCertificatesOption,
        proxyOption, rolloutOption, fallbackOption, inRolloutOption});
    parser.addPositionalArgument(
        QStringLiteral("RELEASE_DIR"), tr("The directory holding the release as it is installed."));
    parser.addPositionalArgument(QStringLiteral("SERVER_DIR"),
        tr("The directory served over HTTP at the clients' base URL."));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        print(stdout, parser.helpText());
        return PublishSucceeded;
    }

    const QStringList positional = parser.positionalArguments();
    const bool publishing = parser.isSet(versionOption) || parser.isSet(folderOption)
        || parser.isSet(optionalOption) || parser.isSet(replaceOption)
        || parser.isSet(deltaFromOption) || parser.isSet(deltaLevelOption);
    const bool signing = parser.isSet(signOption) || parser.isSet(expiresOption)
        || parser.isSet(releaseNumberOption) || parser.isSet(statementFormatOption);
    const bool rollout = parser.isSet(rolloutOption) || parser.isSet(fallbackOption);
    // the network's options, for a URL only; a proxy setting must be one
    ProxySetting proxy;
    const auto networkOptions = [&](const QString &location) {
        const bool remote = PublicationCheck::isServerUrl(location);
        if (!remote && (parser.isSet(caCertificatesOption) || parser.isSet(proxyOption)))
            return usageError(tr("--ca-certificates and --proxy go with a URL."));
        if (!parseProxySetting(parser.value(proxyOption), proxy))
            return usageError(tr("--proxy takes \"system\", \"none\" or "
                                 "http://[user[:password]@]host[:port]."));
        // as the updater takes CaCertificates (and, on Unix, SSL_CERT_FILE without it)
        if (remote && trustCertificates(parser.value(caCertificatesOption)) == 0
            && parser.isSet(caCertificatesOption))
            return usageError(
                tr("--ca-certificates: no certificate can be read from %1.")
                    .arg(QDir::toNativeSeparators(parser.value(caCertificatesOption))));
        return int(PublishSucceeded);
    };
    if (parser.isSet(inRolloutOption)) {
        if (publishing || signing || rollout || parser.isSet(checkOption)
            || parser.isSet(keygenOption) || parser.isSet(publicKeyOption) || positional.size() != 1
            || parser.values(inRolloutOption).size() != 1)
            return usageError(tr("--in-rollout takes one ID and one SERVER_DIR or URL."));
        const QString id = parser.value(inRolloutOption);
        if (!isInstallationId(id.toLatin1()) || QString::fromLatin1(id.toLatin1()) != id)
            return usageError(tr("--in-rollout: \"%1\" is no installation identifier, the 32 "
                                 "lower-case hexadecimal digits of update_id.info.")
                                  .arg(id));
        const int usage = networkOptions(positional.constFirst());
        if (usage != PublishSucceeded)
            return usage;
        return showInRollout(id.toLatin1(), positional.constFirst(), proxy);
    }
    if (parser.isSet(keygenOption)) {
        if (publishing || signing || rollout || parser.isSet(checkOption)
            || parser.isSet(publicKeyOption) || parser.isSet(caCertificatesOption)
            || parser.isSet(proxyOption) || !positional.isEmpty()
            || parser.values(keygenOption).size() != 1)
            return usageError(tr("--keygen takes one KEYFILE and nothing else."));
        return makeKeyPair(parser.value(keygenOption));
    }
    if (parser.isSet(checkOption)) {
        if (publishing || signing || rollout)
            return usageError(tr("--check takes no other options than --public-key, "
                                 "--ca-certificates and --proxy."));
        if (positional.size() != 1)
            return usageError(tr("--check needs exactly one SERVER_DIR or URL."));
        const int usage = networkOptions(positional.constFirst());
        if (usage != PublishSucceeded)
            return usage;
        QList<QByteArray> trustedKeys;
        for (const QString &argument : parser.values(publicKeyOption)) {
            QList<QByteArray> keys;
            QString error;
            if (!readPublicKeyArgument(argument, keys, error))
                return usageError(error);
            for (const QByteArray &key : qAsConst(keys)) {
                if (!trustedKeys.contains(key))
                    trustedKeys.append(key);
            }
        }
        return checkPublication(positional.constFirst(), trustedKeys, proxy);
    }
    if (parser.isSet(publicKeyOption))
        return usageError(tr("--public-key goes with --check."));
    if (parser.isSet(caCertificatesOption) || parser.isSet(proxyOption))
        return usageError(tr("--ca-certificates and --proxy go with a URL."));

    SigningOptions signingOptions;
    signingOptions.keyFiles = parser.values(signOption);
    if (parser.isSet(expiresOption) && signingOptions.keyFiles.isEmpty())
        return usageError(tr("--expires goes with --sign."));
    if (parser.isSet(statementFormatOption)) {
        const QString text = parser.value(statementFormatOption);
        if (signingOptions.keyFiles.isEmpty())
            return usageError(tr("--statement-format goes with --sign."));
        if (text != QLatin1String("1") && text != QLatin1String("2"))
            return usageError(tr("--statement-format takes 1 or 2."));
        signingOptions.statementFormat = text.toInt();
    }
    int share = -1;
    if (parser.isSet(fallbackOption) && !parser.isSet(rolloutOption))
        return usageError(tr("--fallback goes with --rollout."));
    if (parser.isSet(rolloutOption) && !parseRolloutPercent(parser.value(rolloutOption), share))
        return usageError(tr("--rollout takes a percentage from 0 to 100 with at most 4 "
                             "decimals, such as 5 or 12.5."));
    if (parser.isSet(expiresOption)) {
        bool ok = false;
        signingOptions.expiryDays = parser.value(expiresOption).toInt(&ok);
        if (!ok || signingOptions.expiryDays < 1
            || signingOptions.expiryDays > SigningOptions::MaxExpiryDays)
            return usageError(tr("--expires takes a whole number of days from 1 to %1.")
                                  .arg(SigningOptions::MaxExpiryDays));
    }
    if (parser.isSet(releaseNumberOption)) {
        const QString text = parser.value(releaseNumberOption);
        bool ok = false;
        signingOptions.releaseNumber = text.toULongLong(&ok);
        // digits only: no sign, no spaces, no base prefix
        if (!ok || signingOptions.releaseNumber == 0
            || QString::number(signingOptions.releaseNumber) != text)
            return usageError(tr("--release-number takes a whole number from 1 up."));
    }
    if (parser.isSet(rolloutOption) && positional.size() == 1) {
        if (publishing || parser.isSet(fallbackOption) || parser.isSet(releaseNumberOption))
            return usageError(tr("Changing the rollout of a publication takes --rollout, "
                                 "SERVER_DIR, --sign, --expires and --statement-format only; "
                                 "publishing needs "
                                 "RELEASE_DIR and SERVER_DIR."));
        return changeRollout(signingOptions, share, positional.constFirst());
    }
    if (!signingOptions.keyFiles.isEmpty() && positional.size() == 1) {
        if (publishing)
            return usageError(tr("Signing a publication again takes SERVER_DIR alone; "
                                 "publishing needs RELEASE_DIR and SERVER_DIR."));
        return signAgain(signingOptions, positional.constFirst());
    }

    if (positional.size() != 2)
        return usageError(tr("Publishing needs RELEASE_DIR and SERVER_DIR."));
    if (!parser.isSet(versionOption))
        return usageError(tr("Publishing needs --version TEXT, the version users are shown."));

    PublishOptions options;
    options.releaseDir = positional.at(0);
    options.serverDir = positional.at(1);
    options.version = parser.value(versionOption);
    options.folder = parser.value(folderOption);
    options.optional = parser.isSet(optionalOption);
    options.replace = parser.isSet(replaceOption);
    options.signing = signingOptions;
    options.deltaFrom = parser.values(deltaFromOption);
    options.rolloutShare = share;
    options.fallbackFolder = parser.value(fallbackOption);
    if (parser.isSet(deltaLevelOption)) {
        bool ok = false;
        options.deltaLevel = parser.value(deltaLevelOption).toInt(&ok);
        if (!ok || options.deltaLevel < 1 || options.deltaLevel > ZstdMaxLevel
            || options.deltaFrom.isEmpty())
            return usageError(tr("--delta-level takes a level from 1 to %1 and goes with "
                                 "--delta-from.")
                                  .arg(ZstdMaxLevel));
    }
    return publishRelease(options);
}
