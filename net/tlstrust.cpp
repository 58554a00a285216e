#include "tlstrust.h"

#include <QFile>
#include <QtGlobal>

#ifndef QT_NO_SSL
#include <QSslCertificate>
#include <QSslConfiguration>
#endif

int trustCertificates(const QString &configuredFile)
{
    return configuredFile.isEmpty() ? trustCertificatesFromEnvironment()
                                    : trustCertificatesFromFile(configuredFile);
}

int trustCertificatesFromEnvironment()
{
#ifdef Q_OS_WIN
    return 0;
#else
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    return file.isEmpty() ? 0 : trustCertificatesFromFile(QFile::decodeName(file));
#endif
}

int trustCertificatesFromFile(const QString &path)
{
#ifndef QT_NO_SSL
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path, QSsl::Pem);
    if (certificates.isEmpty())
        return 0; // an unusable file leaves the system's trust in place
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return certificates.size();
#else
    Q_UNUSED(path)
    return 0;
#endif
}
