#ifndef CPROXYLOGIN_H
#define CPROXYLOGIN_H

#include <QDialog>
#include <QString>

#include "ui_cproxylogin.h"

// Asks for the user name and password a proxy wants: exec() gives 1 for "确定", 0 for "取消".
// What is typed is kept by no one but the caller.
class CProxyLogin : public QDialog
{
    Q_OBJECT

public:
    explicit CProxyLogin(QWidget *parent = nullptr);
    ~CProxyLogin() override;

    // proxy: "host:port"; refused: the last credentials were refused, user is the name sent then
    void setProxy(const QString &proxy, bool refused, const QString &user);
    QString user() const;
    QString password() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::CProxyLogin ui;
};

#endif // CPROXYLOGIN_H
