#include "cupdateerror.h"

#include "dialoglook.h"
#include "unelevatedstart.h"

#include <QDesktopServices>
#include <QUrl>

CUpdateError::CUpdateError(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    showKeyboardFocus(this);
    ui.download->hide();
    addCopyAction(ui.error);
    // a screen reader names the window by its heading and reads the message with it
    setAccessibleName(ui.label->text());
    setAccessibleDescription(ui.error->text());
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
    showWholeText(ui.error, text);
    setAccessibleName(title);
    setAccessibleDescription(text);
    ui.retry->setVisible(canRetry);
    ui.download->setVisible(canRetry && !downloadUrl.isEmpty());
    // each report starts on the default button, wherever the last one left the focus
    if (canRetry)
        ui.retry->setFocus();
}

void CUpdateError::openDownloadPage()
{
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    // The browser would inherit the updater's administrator rights: the desktop's shell opens the
    // page as the user. Only web addresses go that way, as the shell runs whatever else it gets.
    const QString scheme = url.scheme();
    const bool webPage
        = url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    if (webPage
        && startAsDesktopUser(
            url.toString(QUrl::FullyEncoded), QString(), QString(), QStringLiteral("open")))
        return;
    QDesktopServices::openUrl(url);
}

void CUpdateError::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
