// Renders the dialogs with representative texts to PNG files, so that a vendor sees
// what their users will see:
//   render-dialogs [--language NAME] [--scale 2] [OUTPUT_DIR]
// --language takes what Language= of system.cfg takes; --scale renders as on a screen that
// scales by that factor (the files are then named NAME@2x.png).
#include "cdownloadthread.h"
#include "cproxylogin.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "dialoglook.h"
#include "uilanguage.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QTemporaryDir>
#include <QTranslator>

#include <cstdio>

namespace {
bool save(QWidget &dialog, const QDir &dir, const QString &name, const QString &suffix)
{
    dialog.ensurePolished();
    const QString path = dir.filePath(name + suffix + QStringLiteral(".png"));
    if (!dialog.grab().save(path, "PNG")) {
        std::fprintf(stderr, "render-dialogs: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// the value of --scale, taken before the application object exists, which fixes the scale
QByteArray scaleArgument(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--scale") == 0)
            return argv[i + 1];
    }
    return QByteArray();
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QByteArray scale = scaleArgument(argc, argv);
    if (!scale.isEmpty())
        qputenv("QT_SCALE_FACTOR", scale);
    // as the updater starts
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QApplication app(argc, argv);
    app.setWindowIcon(applicationIcon());

    QCommandLineParser parser;
    const QCommandLineOption languageOption(
        QStringLiteral("language"), QStringLiteral("What Language= says."), QStringLiteral("name"));
    const QCommandLineOption scaleOption(
        QStringLiteral("scale"), QStringLiteral("The screen's scale factor."), QStringLiteral("n"));
    parser.addOptions({languageOption, scaleOption});
    parser.addPositionalArgument(QStringLiteral("directory"), QStringLiteral("Where to write."));
    parser.process(app);
    QTranslator translator;
    if (parser.isSet(languageOption) && !installLanguage(translator, parser.value(languageOption)))
        std::fprintf(stderr, "render-dialogs: --language %s: the Chinese source texts\n",
            qPrintable(parser.value(languageOption)));
    const QString suffix = scale.isEmpty() || scale == "1"
        ? QString()
        : QLatin1Char('@') + QString::fromLatin1(scale) + QLatin1Char('x');

    const QStringList positional = parser.positionalArguments();
    const QDir out(positional.isEmpty() ? QStringLiteral(".") : positional.first());
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "render-dialogs: cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    bool ok = true;
    CUpdateNotice notice;
    notice.setVersion(QStringLiteral("2.1.0"));
    ok &= save(notice, out, QStringLiteral("notice"), suffix);

    // a worker with nothing to do, never started: the dialog only follows it
    QTemporaryDir scratch;
    CDownloadThread worker(
        QStringLiteral("http://127.0.0.1:9/"), QDir(scratch.path()), QDir(scratch.path()), {});
    CUpdateProgress progress(&worker);
    progress.onDownloadStarted(QFileInfo(QStringLiteral("/cache/bin/Qt5Widgets.dll")), 3, 8);
    progress.onDownloadProgress(62, 100);
    ok &= save(progress, out, QStringLiteral("progress"), suffix);

    CUpdateError error;
    error.setDownloadUrl(QStringLiteral("https://example.com/download"));
    error.setMessage(QCoreApplication::translate("QObject", "更新失败"),
        QCoreApplication::translate("QObject", "下载升级描述文件失败:%1")
            .arg(QStringLiteral("Connection refused")),
        true);
    ok &= save(error, out, QStringLiteral("error"), suffix);

    CProxyLogin login;
    login.setProxy(QStringLiteral("proxy.example.com:3128"), true, QStringLiteral("alice"));
    ok &= save(login, out, QStringLiteral("proxy"), suffix);
    return ok ? 0 : 1;
}
