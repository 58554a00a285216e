#include "urlpasswords.h"

#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {
// The password as the base URL's text has it: after the first ':' of the user information, which
// ends at the last '@' before the query or fragment (QUrl would give nothing for a broken URL).
QString writtenPassword(const QString &baseUrl)
{
    const int authority = baseUrl.indexOf(QLatin1String("://"));
    if (authority < 0)
        return QString();
    int end = baseUrl.size();
    for (const QChar stop : {QLatin1Char('?'), QLatin1Char('#')}) {
        const int at = baseUrl.indexOf(stop, authority + 3);
        if (at >= 0)
            end = std::min(end, at);
    }
    const int userEnd = baseUrl.lastIndexOf(QLatin1Char('@'), end - 1);
    if (userEnd < authority + 3)
        return QString();
    const int colon = baseUrl.indexOf(QLatin1Char(':'), authority + 3);
    if (colon < 0 || colon > userEnd)
        return QString();
    return baseUrl.mid(colon + 1, userEnd - colon - 1);
}
} // namespace

QString hideUrlPassword(const QString &text, const QString &baseUrl)
{
    QSet<QString> forms;
    const QString written = writtenPassword(baseUrl);
    const QString decoded = QUrl::fromPercentEncoding(written.toUtf8());
    forms << written << decoded << QString::fromLatin1(QUrl::toPercentEncoding(decoded));
    const QUrl url(baseUrl, QUrl::TolerantMode);
    forms << url.password(QUrl::PrettyDecoded) << url.password(QUrl::FullyDecoded)
          << url.password(QUrl::FullyEncoded);
    forms.remove(QString());
    // the longer forms first, so that no shorter one leaves a piece of a longer one behind
    QStringList ordered = forms.values();
    std::sort(ordered.begin(), ordered.end(),
        [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString hidden = text;
    // only where it stands between the user name and the host: a short password must not
    // take letters out of the rest of the message
    for (const QString &password : qAsConst(ordered))
        hidden.replace(QLatin1Char(':') + password + QLatin1Char('@'), QLatin1String(":***@"));
    return hidden;
}

UrlPasswords::UrlPasswords(const QString &baseUrl, const QString &proxyUrl)
    : baseUrl(baseUrl)
    , proxyUrl(proxyUrl)
{ }

QString UrlPasswords::hidden(const QString &text) const
{
    return hideUrlPassword(hideUrlPassword(text, baseUrl), proxyUrl);
}
