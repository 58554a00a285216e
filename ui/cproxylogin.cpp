#include "cproxylogin.h"

#include "dialoglook.h"

CProxyLogin::CProxyLogin(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    makeFrameless(this);
    showKeyboardFocus(this);
    addCopyAction(ui.proxy);
    ui.note->hide();
    setAccessibleName(ui.label->text());
    ui.ok->setEnabled(false);
    // Qt sends no credentials without a user name
    connect(ui.user, &QLineEdit::textChanged, this,
        [this](const QString &text) { ui.ok->setEnabled(!text.isEmpty()); });
    connect(ui.ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui.cancel, &QPushButton::clicked, this, &QDialog::reject);
}

CProxyLogin::~CProxyLogin() = default;

void CProxyLogin::setProxy(const QString &proxy, bool refused, const QString &user)
{
    // the name may come from the system's settings, which the network can feed (WPAD)
    showWholeText(ui.proxy, tr("代理服务器：%1").arg(proxy));
    ui.note->setVisible(refused);
    setAccessibleDescription(
        refused ? wholeText(ui.proxy) + QLatin1Char('\n') + ui.note->text() : wholeText(ui.proxy));
    ui.user->setText(user);
    ui.password->clear();
    (user.isEmpty() ? ui.user : ui.password)->setFocus();
}

QString CProxyLogin::user() const
{
    return ui.user->text();
}

QString CProxyLogin::password() const
{
    return ui.password->text();
}

void CProxyLogin::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
