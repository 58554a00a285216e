#include "cupdateprogress.h"

#include "cdownloadthread.h"
#include "dialoglook.h"

#include <utility>

CUpdateProgress::CUpdateProgress(CDownloadThread *thread, QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    showKeyboardFocus(this);
    addCopyAction(ui.desc);
    setAccessibleName(ui.label->text());
    showStatus(ui.desc->text());
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
        showStatus(tr("total为0"));
        return;
    }
    ui.total->setValue(current * 100 / total);
    showStatus(tr("正在下载更新文件%1").arg(filename.fileName()));
    ui.progress->setValue(0);
}

void CUpdateProgress::onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal)
{
    if (bytesTotal <= 0) {
        showStatus(tr("bytesTotal为0"));
        return;
    }
    // a value outside 0..100 is ignored by the bar, which keeps its previous value
    ui.progress->setValue(int(bytesReceived * 100 / bytesTotal));
}

void CUpdateProgress::onDownloadFail(QFileInfo, QString errormsg)
{
    showStatus(messageFilter ? messageFilter(errormsg) : errormsg);
}

// The status line says which file is being fetched, or what failed: a screen reader reads it as
// the description of the window and of the file's bar.
void CUpdateProgress::showStatus(const QString &text)
{
    showWholeText(ui.desc, text);
    setAccessibleDescription(text);
    ui.progress->setAccessibleDescription(text);
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
