// Renders the dialogs with representative texts to PNG files, so that a vendor sees
// what their users will see: render-dialogs [OUTPUT_DIR]
#include "cdownloadthread.h"
#include "cproxylogin.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {
bool save(QWidget &dialog, const QDir &dir, const QString &name)
{
    dialog.ensurePolished();
    const QString path = dir.filePath(name);
    if (!dialog.grab().save(path, "PNG")) {
        std::fprintf(stderr, "render-dialogs: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/icon")));
    const QStringList arguments = app.arguments();
    const QDir out(arguments.size() > 1 ? arguments.at(1) : QStringLiteral("."));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "render-dialogs: cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    bool ok = true;
    CUpdateNotice notice;
    notice.setVersion(QStringLiteral("2.1.0"));
    ok &= save(notice, out, QStringLiteral("notice.png"));

    // a worker with nothing to do, never started: the dialog only follows it
    QTemporaryDir scratch;
    CDownloadThread worker(
        QStringLiteral("http://127.0.0.1:9/"), QDir(scratch.path()), QDir(scratch.path()), {});
    CUpdateProgress progress(&worker);
    progress.onDownloadStarted(QFileInfo(QStringLiteral("/cache/bin/Qt5Widgets.dll")), 3, 8);
    progress.onDownloadProgress(62, 100);
    ok &= save(progress, out, QStringLiteral("progress.png"));

    CUpdateError error;
    error.setDownloadUrl(QStringLiteral("https://example.com/download"));
    error.setMessage(QStringLiteral("更新失败"),
        QStringLiteral("下载升级描述文件失败:Connection refused"), true);
    ok &= save(error, out, QStringLiteral("error.png"));

    CProxyLogin login;
    login.setProxy(QStringLiteral("proxy.example.com:3128"), true, QStringLiteral("alice"));
    ok &= save(login, out, QStringLiteral("proxy.png"));
    return ok ? 0 : 1;
}
