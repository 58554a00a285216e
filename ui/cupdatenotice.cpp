#include "cupdatenotice.h"

#include "dialoglook.h"

CUpdateNotice::CUpdateNotice(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    showKeyboardFocus(this);
    addCopyAction(ui.version);
    setAccessibleName(ui.version->text());
    connect(ui.update, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui.skip, &QPushButton::clicked, this, &QDialog::reject);
}

CUpdateNotice::~CUpdateNotice() = default;

void CUpdateNotice::setVersion(QString version)
{
    showWholeText(ui.version, tr("发现新版本：%1").arg(version));
    setAccessibleName(wholeText(ui.version));
}

void CUpdateNotice::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
