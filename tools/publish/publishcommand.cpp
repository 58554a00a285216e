#include "publishcommand.h"

#include "progressmeter.h"
#include "publicationcheck.h"
#include "publisher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>

#include <cstdio>

namespace {
const char ProgramName[] = "update-publish";

QString tr(const char *text, const char *disambiguation = nullptr, int n = -1)
{
    return QCoreApplication::translate("PublishCommand", text, disambiguation, n);
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printError(const QString &message)
{
    print(stderr, QLatin1String(ProgramName) + QLatin1String(": ") + message + QLatin1Char('\n'));
}

void printWarnings(const QStringList &warnings)
{
    for (const QString &warning : warnings)
        printError(tr("warning: %1").arg(warning));
}

int usageError(const QString &message)
{
    printError(message);
    print(stderr, tr("Try '%1 --help' for more information.\n").arg(QLatin1String(ProgramName)));
    return PublishUsageError;
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

QString description()
{
    return tr("Publishes a release for the updater, or checks a publication.\n"
              "\n"
              "  update-publish RELEASE_DIR SERVER_DIR --version TEXT [--folder NAME]\n"
              "                 [--optional] [--replace]\n"
              "  update-publish --check SERVER_DIR\n"
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
              "names ending in a dot or a space, md5.txt or update_md5.info at the top, names\n"
              "that differ only in case. md5.txt lists names in UTF-8. Symbolic links to files\n"
              "inside RELEASE_DIR are published as copies of those files; links to directories,\n"
              "links leading out of RELEASE_DIR and dangling links are refused. Empty\n"
              "directories are not published.\n"
              "\n"
              "--version with a value is the release version; --version alone prints the\n"
              "version of this tool.\n"
              "\n"
              "Exit status: 0 on success, 1 when publishing or checking fails, 2 on a usage\n"
              "error.");
}

int publish(const PublishOptions &options)
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
    print(stdout, Publisher::urlExplanation(options.folder) + QLatin1Char('\n'));
    return PublishSucceeded;
}

int check(const QString &serverDir)
{
    PublicationCheck check(serverDir);
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
        printError(tr("The publication in %1 does not match its manifest.")
                       .arg(QDir::toNativeSeparators(serverDir)));
        return PublishFailed;
    }
    print(stdout,
        tr("%1: version \"%2\" in folder %3, %n file(s) verified (%4 update).\n", nullptr,
            check.fileCount())
            .arg(QDir::toNativeSeparators(serverDir), check.version(), check.folder(),
                check.isOptional() ? tr("optional") : tr("forced")));
    return PublishSucceeded;
}
} // namespace

int runPublishCommand(const QStringList &arguments)
{
    QCoreApplication::setApplicationName(QLatin1String(ProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(PUBLISH_TOOL_VERSION));

    // "--version TEXT" names the release; given alone, it asks for this tool's version
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--version")) {
        print(stdout,
            QLatin1String(ProgramName) + QLatin1Char(' ') + QCoreApplication::applicationVersion()
                + QLatin1Char('\n'));
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
    parser.addOptions(
        {helpOption, versionOption, folderOption, optionalOption, replaceOption, checkOption});
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
    if (parser.isSet(checkOption)) {
        if (parser.isSet(versionOption) || parser.isSet(folderOption)
            || parser.isSet(optionalOption) || parser.isSet(replaceOption))
            return usageError(tr("--check takes no other options."));
        if (positional.size() != 1)
            return usageError(tr("--check needs exactly one SERVER_DIR."));
        return check(positional.constFirst());
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
    return publish(options);
}
