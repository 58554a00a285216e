#ifndef CUPDATEERROR_H
#define CUPDATEERROR_H

#include <QDialog>
#include <QString>

#include "ui_cupdateerror.h"

// Reports a failure, offers a new attempt and a link to the manual download page. One instance
// lives for the whole run and is reused for every report.
class CUpdateError : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateError(QWidget *parent = nullptr);
    ~CUpdateError() override;

    void setDownloadUrl(QString url);
    void setMessage(QString title, QString text, bool canRetry);
    void openDownloadPage();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::CUpdateError ui;
    QString downloadUrl;
};

#endif // CUPDATEERROR_H
