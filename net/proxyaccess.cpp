#include "proxyaccess.h"

#include <QAuthenticator>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrl>

namespace {
constexpr quint16 DefaultProxyPort = 8080; // as Qt takes an http_proxy without a port

QString credentialsKey(const QNetworkProxy &proxy)
{
    return proxy.hostName().toLower() + QLatin1Char(':') + QString::number(proxy.port());
}

// Qt's own use of the system's settings never sends this machine's addresses through a proxy
bool isLocalHost(const QString &host)
{
    QHostAddress address;
    return host == QLatin1String("localhost") || host.startsWith(QLatin1String("localhost."))
        || (address.setAddress(host) && address.isLoopback());
}
} // namespace

bool parseProxySetting(const QString &text, ProxySetting &setting)
{
    const QString value = text.trimmed();
    setting = ProxySetting();
    if (value.isEmpty() || value.compare(QLatin1String("system"), Qt::CaseInsensitive) == 0)
        return true;
    if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0
        || value.compare(QLatin1String("direct"), Qt::CaseInsensitive) == 0) {
        setting.kind = ProxySetting::Kind::Direct;
        return true;
    }
    // Qt speaks plain HTTP to a proxy (HTTPS through it as a tunnel); a path or a query would be
    // a mistake in the value, never something to ignore
    const QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
        || url.hasFragment())
        return false;
    setting.kind = ProxySetting::Kind::Fixed;
    setting.proxy
        = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(DefaultProxyPort)),
            url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    return true;
}

ProxyChallenge ProxyChallenge::of(const QNetworkProxy &proxy, const QAuthenticator &authenticator)
{
    ProxyChallenge challenge;
    challenge.proxy = proxy;
    challenge.refused = !proxy.user().isEmpty() || !authenticator.user().isEmpty();
    return challenge;
}

QString ProxyChallenge::name() const
{
    QString host = proxy.hostName();
    if (host.contains(QLatin1Char(':'))) // IPv6
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return host + QLatin1Char(':') + QString::number(proxy.port());
}

struct ProxyAccess::Shared
{
    explicit Shared(const ProxySetting &setting)
        : setting(setting)
    { }

    const ProxySetting setting;
    QMutex mutex; // proxies are looked up on the network threads too
    QHash<QString, QPair<QString, QString>> credentials; // by credentialsKey
    std::optional<ProxyChallenge> challenge;
};

class ProxyAccess::Factory : public QNetworkProxyFactory
{
public:
    explicit Factory(std::shared_ptr<Shared> shared)
        : shared(std::move(shared))
    { }

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

private:
    std::shared_ptr<Shared> shared;
};

QList<QNetworkProxy> ProxyAccess::Factory::queryProxy(const QNetworkProxyQuery &query)
{
    QList<QNetworkProxy> proxies;
    switch (shared->setting.kind) {
    case ProxySetting::Kind::Direct:
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    case ProxySetting::Kind::Fixed:
        proxies << shared->setting.proxy;
        break;
    case ProxySetting::Kind::System:
        if (isLocalHost(query.peerHostName()))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        proxies = QNetworkProxyFactory::systemProxyForQuery(query);
        break;
    }
    // Qt sends a proxy's own user and password once the proxy asks for them, on every
    // connection, plain requests and tunnels alike
    QMutexLocker locker(&shared->mutex);
    for (QNetworkProxy &proxy : proxies) {
        const auto known = shared->credentials.constFind(credentialsKey(proxy));
        if (proxy.type() == QNetworkProxy::NoProxy || known == shared->credentials.cend())
            continue;
        proxy.setUser(known->first);
        proxy.setPassword(known->second);
    }
    return proxies;
}

ProxyAccess::ProxyAccess(const ProxySetting &setting)
    : shared(std::make_shared<Shared>(setting))
{ }

void ProxyAccess::setUp(QNetworkAccessManager &manager) const
{
    // a factory of the manager's own, so that Qt's application-wide rule (no proxy for this
    // machine) does not override a proxy named in the configuration. The authenticator of a
    // demand for credentials is left as it is, which fails the request.
    manager.setProxyFactory(new Factory(shared));
}

void ProxyAccess::setUpKeepingChallenges(QNetworkAccessManager &manager) const
{
    setUp(manager);
    QObject::connect(&manager, &QNetworkAccessManager::proxyAuthenticationRequired, &manager,
        [shared = shared](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
            const ProxyChallenge challenge = ProxyChallenge::of(proxy, *authenticator);
            QMutexLocker locker(&shared->mutex);
            shared->challenge = challenge;
        });
}

std::optional<ProxyChallenge> ProxyAccess::takeChallenge()
{
    QMutexLocker locker(&shared->mutex);
    std::optional<ProxyChallenge> challenge;
    challenge.swap(shared->challenge);
    return challenge;
}

void ProxyAccess::setCredentials(
    const QNetworkProxy &proxy, const QString &user, const QString &password)
{
    QMutexLocker locker(&shared->mutex);
    shared->credentials.insert(credentialsKey(proxy), qMakePair(user, password));
}
