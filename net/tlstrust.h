#ifndef TLSTRUST_H
#define TLSTRUST_H

#include <QString>

// The certificate authorities trusted for HTTPS. A PEM file named in the configuration
// (configuredFile, not empty) replaces the system's. Without one, on Linux and other Unix
// systems SSL_CERT_FILE does the same, as with OpenSSL's own tools; on Windows the environment
// is never read, since a user can set it for the processes they start with administrator
// rights. Returns the number of certificates taken; 0 leaves the system's trust as it is.
int trustCertificates(const QString &configuredFile);
int trustCertificatesFromEnvironment();
int trustCertificatesFromFile(const QString &path);

#endif // TLSTRUST_H
