#include "cupdateprogress.h"

#include "cdownloadthread.h"
#include "dialoglook.h"

#include <utility>

CUpdateProgress::CUpdateProgress(CDownloadThread *thread, QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    addCopyAction(ui.desc);
    connect(ui.cancel, &QPushButton::clicked, thread, &CDownloadThread::quit);
    connect(thread, &CDownloadThread::downloadStarted, this, &CUpdateProgress::onDownloadStarted);
    connect(thread, &CDownloadThread::downloadProgress, this, &CUpdateProgress::onDownloadProgress);
    connect(thread, &CDownloadThread::downloadFail, this, &CUpdateProgress::onDownloadFail);
    connect(thread, &QThread::finished, this, &QDialog::accept);
}

CUpdateProgress::~CUpdateProgress() = default;

void CUpdateProgress::onDownloadStarted(QFileInfo filename, int current, int total)
{
    if (total <= 0) {
        showWholeText(ui.desc, QStringLiteral("total为0"));
        return;
    }
    ui.total->setValue(current * 100 / total);
    showWholeText(ui.desc, tr("正在下载更新文件%1").arg(filename.fileName()));
    ui.progress->setValue(0);
}

void CUpdateProgress::onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal)
{
    if (bytesTotal <= 0) {
        showWholeText(ui.desc, QStringLiteral("bytesTotal为0"));
        return;
    }
    // a value outside 0..100 is ignored by the bar, which keeps its previous value
    ui.progress->setValue(int(bytesReceived * 100 / bytesTotal));
}

void CUpdateProgress::onDownloadFail(QFileInfo, QString errormsg)
{
    showWholeText(ui.desc, messageFilter ? messageFilter(errormsg) : errormsg);
}

void CUpdateProgress::setMessageFilter(std::function<QString(const QString &)> filter)
{
    messageFilter = std::move(filter);
}

void CUpdateProgress::reject()
{
    ui.cancel->click();
}

void CUpdateProgress::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
