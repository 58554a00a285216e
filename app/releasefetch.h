#ifndef RELEASEFETCH_H
#define RELEASEFETCH_H

#include "publicationurls.h"

#include <QByteArray>
#include <QString>

struct UpdateContext;
class UpdateFrontend;

// far above any real manifest (some 800,000 files), far below what fills memory
constexpr qint64 MaxFetchedBody = 64 * 1024 * 1024;
// What arrives before any signature is checked is held once and looked at without copies, so
// that the run stays within some 128 MiB. A descriptor is three keys: a thousand times that is
// plenty.
constexpr qint64 MaxDescriptorSize = 64 * 1024;
// The statement names every file, 71 bytes and the encoded path a line: room for the largest
// manifest taken with paths of 63 bytes on average, and a few signatures. (While Qt's network
// thread reads ahead, what it has read is held beside the body: more would pass 128 MiB.)
constexpr qint64 MaxStatementSize = 64 * 1024 * 1024;

// Fetches one file of the release into body, within a few seconds and maxBody bytes. A proxy
// that wants credentials is asked for them through the frontend, once its refusal has ended the
// request, and the request is sent again. A name the joining slash doubled is asked for once
// more with it single, after a 404. False with the reason in error (found at neither name: the
// one of the URL asked for first); status, when given, receives the last answer's HTTP status,
// and http2 whether it came over HTTP/2.
bool fetchReleaseFile(const UpdateContext &context, UpdateFrontend &frontend,
    const PublicationUrl &url, QByteArray &body, QString &error, int *status = nullptr,
    qint64 maxBody = MaxFetchedBody, bool *http2 = nullptr);

#endif // RELEASEFETCH_H
