#ifndef CUPDATEPROGRESS_H
#define CUPDATEPROGRESS_H

#include <QDialog>
#include <QFileInfo>
#include <QString>

#include <cstdint>
#include <functional>

#include "ui_cupdateprogress.h"

class CDownloadThread;

// Follows the worker's progress and closes when the worker's thread has finished; whoever shows
// it starts the worker.
class CUpdateProgress : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateProgress(CDownloadThread *thread, QWidget *parent = nullptr);
    ~CUpdateProgress() override;

    void onDownloadStarted(QFileInfo filename, int current, int total);
    void onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void onDownloadFail(QFileInfo filename, QString errormsg);
    // what a failure message becomes before it is shown (the caller takes secrets out of it);
    // applied when the message arrives, so it may be set after the worker has started
    void setMessageFilter(std::function<QString(const QString &)> filter);

    // Escape and the window's close command act like "取消": the worker is asked to stop and
    // the dialog closes only when its thread has finished
    void reject() override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showStatus(const QString &text);

    Ui::CUpdateProgress ui;
    std::function<QString(const QString &)> messageFilter;
};

#endif // CUPDATEPROGRESS_H
