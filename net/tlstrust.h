#ifndef TLSTRUST_H
#define TLSTRUST_H

#include <QString>

// When SSL_CERT_FILE names a file of PEM certificates, they become the certificate authorities
// trusted for HTTPS, in place of the system's, as with OpenSSL's own tools. Qt's network layer
// on Linux otherwise reads only the system's certificate folders. Returns the number of
// certificates taken; 0 leaves the system's trust as it is.
int trustCertificatesFromEnvironment();
int trustCertificatesFromFile(const QString &path);

#endif // TLSTRUST_H
