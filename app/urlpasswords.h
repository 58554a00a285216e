#ifndef URLPASSWORDS_H
#define URLPASSWORDS_H

#include <QString>

// The text with the password of baseUrl's user information replaced by "***" wherever it stands
// in a URL (":password@"), in the forms a URL can take: as written, decoded and percent-encoded.
// The base URL is read as text, so that a URL too broken for QUrl still has its password hidden.
QString hideUrlPassword(const QString &text, const QString &baseUrl);

// The passwords that nothing the updater shows or writes may hold: those of the base URL and of
// the proxy (system.cfg's "Proxy"). Qt's error texts name the URL they fetched, with its
// password, and such texts reach the reports, the run log and stderr alike; all of them pass
// through here.
class UrlPasswords
{
public:
    UrlPasswords() = default;
    UrlPasswords(const QString &baseUrl, const QString &proxyUrl);

    // the text without the passwords
    QString hidden(const QString &text) const;

private:
    QString baseUrl;
    QString proxyUrl;
};

#endif // URLPASSWORDS_H
