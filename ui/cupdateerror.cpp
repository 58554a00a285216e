#include "cupdateerror.h"

#include "ui/dialoglook.h"

#include <QDesktopServices>
#include <QUrl>

CUpdateError::CUpdateError(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    ui.download->hide();
    connect(ui.retry, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui.download, &QPushButton::clicked, this, &CUpdateError::openDownloadPage);
}

CUpdateError::~CUpdateError() = default;

void CUpdateError::setDownloadUrl(QString url)
{
    downloadUrl = url;
    ui.download->setVisible(!downloadUrl.isEmpty());
}

void CUpdateError::setMessage(QString title, QString text, bool canRetry)
{
    ui.label->setText(title);
    ui.error->setText(text);
    ui.retry->setVisible(canRetry);
    ui.download->setVisible(canRetry && !downloadUrl.isEmpty());
}

void CUpdateError::openDownloadPage()
{
    QDesktopServices::openUrl(QUrl(downloadUrl, QUrl::TolerantMode));
}

void CUpdateError::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
