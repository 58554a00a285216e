#include "publishcommand.h"

#include "consoleoutput.h"
#include "publicationcheck.h"
#include "publishactions.h"
#include "publisher.h"
#include "releasesigner.h"
#include "signingkeyfile.h"

#include "proxyaccess.h"
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

QString description()
{
    return tr("Publishes a release for the updater, signs it, or checks a publication.\n"
              "\n"
              "  update-publish RELEASE_DIR SERVER_DIR --version TEXT [--folder NAME]\n"
              "                 [--optional] [--replace] [--sign KEYFILE]...\n"
              "                 [--expires DAYS] [--release-number N]\n"
              "                 [--delta-from DIR]... [--delta-level N]\n"
              "  update-publish --sign KEYFILE [--sign KEYFILE]... [--expires DAYS]\n"
              "                 [--release-number N] SERVER_DIR\n"
              "  update-publish --check SERVER_DIR [--public-key KEY]...\n"
              "  update-publish --check URL [--public-key KEY]... [--ca-certificates FILE]\n"
              "                 [--proxy PROXY]\n"
              "  update-publish --keygen KEYFILE\n"
              "\n"
              "Publishing copies every file below RELEASE_DIR (hidden files included) into\n"
              "SERVER_DIR/FOLDER/, writes the manifest SERVER_DIR/FOLDER/md5.txt and then\n"
              "SERVER_DIR/update.ini, which names the folder, the version text and whether the\n"
              "update is forced. The folder is built under a hidden name and renamed when\n"
              "complete, and update.ini is written last, so clients never see a half-copied\n"
              "release. Publish each release into a new folder (--folder v2.1) and serve\n"
              "SERVER_DIR over HTTP; the base URL in the clients' system.cfg is the address of\n"
              "SERVER_DIR ending with '/'.\n"
              "\n"
              "Nothing is written when a name cannot be published: tabs, line breaks, control\n"
              "characters, '\\', ':' and characters Windows refuses, Windows device names,\n"
              "names ending in a dot or a space, md5.txt, update_md5.info,\n"
              "update_release.info, update_delta.txt or update_delta at the top, names that\n"
              "differ only in case. md5.txt lists\n"
              "names in UTF-8. Symbolic links to files inside RELEASE_DIR are published as\n"
              "copies of those files; links to directories, links leading out of RELEASE_DIR\n"
              "and dangling links are refused. Empty directories are not published.\n"
              "\n"
              "Signed releases: --keygen KEYFILE writes a new Ed25519 key pair, the secret key\n"
              "to KEYFILE (refused if it exists; on Unix readable by you alone, on Windows with\n"
              "the access rights of its folder, so keep it in a folder only you can read) and\n"
              "the public key to KEYFILE.pub, and prints the line that makes clients require\n"
              "signed releases: PublicKeys=KEY in the [Update] group of system.cfg (several\n"
              "keys separated by spaces). Publishing with --sign KEYFILE writes the statement\n"
              "SERVER_DIR/update.sig just before update.ini: it binds update.ini, md5.txt and\n"
              "the SHA-256 of every file, the version, a release number and an expiry, signed\n"
              "by each key given (sign with the old and the new key while clients move to a\n"
              "new one). The release number is one more than the published one unless\n"
              "--release-number says otherwise; it may not go below the published one, as\n"
              "clients refuse an older release, nor be the published one for another\n"
              "release (only the same update.ini and md5.txt may be signed again under\n"
              "it), as clients refuse that too. Clients also refuse a statement past its\n"
              "expiry (--expires DAYS, default 30), so sign the publication again before then:\n"
              "--sign KEYFILE with SERVER_DIR alone checks every file against md5.txt and\n"
              "writes a new update.sig with the next release number. Once SERVER_DIR holds\n"
              "update.sig, publishing without --sign is refused; remove update.sig to stop\n"
              "signing.\n"
              "\n"
              "Delta updates: --delta-from DIR names an earlier release (its RELEASE_DIR, or a\n"
              "SERVER_DIR it was published to); give one for each version clients may still\n"
              "have. For every file that changed since, a zstd patch from the earlier file to\n"
              "the new one goes to FOLDER/update_delta/, listed in FOLDER/update_delta.txt,\n"
              "where it is at most three quarters of the file (files up to 1 GiB). A client\n"
              "whose installed file is that earlier version fetches the patch instead; any\n"
              "trouble with a patch and it fetches the whole file. Updaters without delta\n"
              "support ignore both. The index is signed with the release.\n"
              "\n"
              "--check verifies a publication; when SERVER_DIR holds update.sig, or keys are\n"
              "given with --public-key, also its signatures, hashes and expiry. Given the\n"
              "clients' base URL (http:// or https://) in place of SERVER_DIR, it fetches the\n"
              "live publication as clients do, every file streamed and hashed: the same URLs,\n"
              "the same certificate checks (the system's certificate authorities, or those in\n"
              "--ca-certificates FILE as with CaCertificates in system.cfg) and the proxy of\n"
              "--proxy as with Proxy in system.cfg (default: the system's). Run it against\n"
              "the CDN after every upload.\n"
              "\n"
              "--version with a value is the release version; --version alone prints the\n"
              "version of this tool.\n"
              "\n"
              "Exit status: 0 on success, 1 when publishing, signing or checking fails, 2 on a\n"
              "usage error.");
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
    parser.setApplicationDescription(description());
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
    parser.addOptions({helpOption, versionOption, folderOption, optionalOption, replaceOption,
        checkOption, signOption, expiresOption, releaseNumberOption, publicKeyOption, keygenOption,
        deltaFromOption, deltaLevelOption, caCertificatesOption, proxyOption});
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
        || parser.isSet(releaseNumberOption);
    if (parser.isSet(keygenOption)) {
        if (publishing || signing || parser.isSet(checkOption) || parser.isSet(publicKeyOption)
            || parser.isSet(caCertificatesOption) || parser.isSet(proxyOption)
            || !positional.isEmpty() || parser.values(keygenOption).size() != 1)
            return usageError(tr("--keygen takes one KEYFILE and nothing else."));
        return makeKeyPair(parser.value(keygenOption));
    }
    if (parser.isSet(checkOption)) {
        if (publishing || signing)
            return usageError(tr("--check takes no other options than --public-key, "
                                 "--ca-certificates and --proxy."));
        if (positional.size() != 1)
            return usageError(tr("--check needs exactly one SERVER_DIR or URL."));
        const bool remote = PublicationCheck::isServerUrl(positional.constFirst());
        if (!remote && (parser.isSet(caCertificatesOption) || parser.isSet(proxyOption)))
            return usageError(tr("--ca-certificates and --proxy go with --check URL."));
        ProxySetting proxy;
        if (!parseProxySetting(parser.value(proxyOption), proxy))
            return usageError(tr("--proxy takes \"system\", \"none\" or "
                                 "http://[user[:password]@]host[:port]."));
        // as the updater takes CaCertificates (and, on Unix, SSL_CERT_FILE without it)
        if (remote && trustCertificates(parser.value(caCertificatesOption)) == 0
            && parser.isSet(caCertificatesOption))
            return usageError(
                tr("--ca-certificates: no certificate can be read from %1.")
                    .arg(QDir::toNativeSeparators(parser.value(caCertificatesOption))));
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
        return usageError(tr("--ca-certificates and --proxy go with --check URL."));

    SigningOptions signingOptions;
    signingOptions.keyFiles = parser.values(signOption);
    if (signing && signingOptions.keyFiles.isEmpty())
        return usageError(tr("--expires and --release-number go with --sign."));
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
