#ifndef CUPDATENOTICE_H
#define CUPDATENOTICE_H

#include <QDialog>
#include <QString>

#include "ui_cupdatenotice.h"

// Asks before an optional update: exec() gives 1 for "update now", 0 otherwise.
class CUpdateNotice : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateNotice(QWidget *parent = nullptr);
    ~CUpdateNotice() override;

    void setVersion(QString version);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::CUpdateNoticeClass ui;
};

#endif // CUPDATENOTICE_H
