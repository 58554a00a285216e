#ifndef PROXYACCESS_H
#define PROXYACCESS_H

#include <QNetworkProxy>
#include <QString>

#include <memory>
#include <optional>

class QNetworkAccessManager;

// Which proxy the requests go through: the "Proxy" value of system.cfg.
struct ProxySetting
{
    enum class Kind {
        System, // the system's settings, as Qt reads them; none for this machine's own addresses
        Direct, // no proxy, whatever the system's settings say
        Fixed, // the proxy named, for every request
    };
    Kind kind = Kind::System;
    QNetworkProxy proxy; // Fixed: an HTTP proxy with the credentials its URL carries
};

// Empty or "system": the system's settings; "none" or "direct" (any letter case): no proxy;
// "http://[user[:password]@]host[:port]" (port 8080 when left out, user and password
// percent-decoded): that proxy. False for anything else.
bool parseProxySetting(const QString &text, ProxySetting &setting);

class QAuthenticator;

// A proxy that asked for credentials it had not been given, or refused the ones it was given.
struct ProxyChallenge
{
    // the demand as the manager's proxyAuthenticationRequired hands it over: the proxy had
    // credentials, its own or given during the run, when it or the authenticator carries a user
    // name (a refused tunnel hands over an empty authenticator)
    static ProxyChallenge of(const QNetworkProxy &proxy, const QAuthenticator &authenticator);

    QNetworkProxy proxy;
    bool refused = false;
    // "host:port", as the proxy is named to the user
    QString name() const;
};

// The proxy of every network access manager of the run, and the proxy credentials given during
// the run, held in memory only.
//
// A manager set up here never answers a proxy's demand for credentials while its request waits:
// the request fails with the demand as its challenge (httpRequest reports it), and whoever sent
// the request asks for credentials and sends it again. A question asked inside Qt's signal would
// run while time limits tick and other transfers wait, and concurrent transfers would each ask.
class ProxyAccess
{
public:
    explicit ProxyAccess(const ProxySetting &setting = ProxySetting());

    // the manager takes its proxies from here, with the credentials known when it asks
    void setUp(QNetworkAccessManager &manager) const;
    // as setUp, for the worker's managers, whose failures carry no more than a message: the
    // demands for credentials their requests meet are kept until takeChallenge
    void setUpKeepingChallenges(QNetworkAccessManager &manager) const;
    // the last demand kept since the last call, if any
    std::optional<ProxyChallenge> takeChallenge();
    // the credentials sent to this proxy (host and port) from now on
    void setCredentials(const QNetworkProxy &proxy, const QString &user, const QString &password);

private:
    struct Shared;
    class Factory;
    // shared with the managers' proxy factories, which the managers own
    std::shared_ptr<Shared> shared;
};

#endif // PROXYACCESS_H
