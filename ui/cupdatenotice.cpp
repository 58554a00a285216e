#include "cupdatenotice.h"

#include "ui/dialoglook.h"

CUpdateNotice::CUpdateNotice(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    connect(ui.update, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui.skip, &QPushButton::clicked, this, &QDialog::reject);
}

CUpdateNotice::~CUpdateNotice() = default;

void CUpdateNotice::setVersion(QString version)
{
    ui.version->setText(tr("发现新版本：%1").arg(version));
}

void CUpdateNotice::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
