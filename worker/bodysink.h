#ifndef BODYSINK_H
#define BODYSINK_H

#include <QtGlobal>

// Where the body of a file's answer goes, as it arrives: into the cache file and its hasher
// (WholeFileSink), or into the patch applier that makes the file (PatchSink).
class BodySink
{
public:
    virtual ~BodySink() = default;

    // where the next bytes are read to, and how many fit there; asking again before take()
    // returns the same buffer
    virtual char *nextBuffer(qint64 &capacity) = 0;
    // the first count bytes of that buffer, the next of the body; false when the transfer
    // cannot go on (the body is longer than it can be, a patch shows itself broken): the answer
    // is then cut off
    virtual bool take(qint64 count) = 0;
};

#endif // BODYSINK_H
