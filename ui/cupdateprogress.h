#ifndef CUPDATEPROGRESS_H
#define CUPDATEPROGRESS_H

#include <QDialog>
#include <QFileInfo>
#include <QString>

#include <cstdint>

#include "ui_cupdateprogress.h"

class CDownloadThread;

// Starts the worker, follows its progress and closes when the worker's thread has finished.
class CUpdateProgress : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateProgress(CDownloadThread *thread, QWidget *parent = nullptr);
    ~CUpdateProgress() override;

    void onDownloadStarted(QFileInfo filename, int current, int total);
    void onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void onDownloadFail(QFileInfo filename, QString errormsg);

    // Escape and the window's close command act like "取消": the worker is asked to stop and
    // the dialog closes only when its thread has finished
    void reject() override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::CUpdateProgress ui;
};

#endif // CUPDATEPROGRESS_H
