#ifndef TRANSFERSETTINGS_H
#define TRANSFERSETTINGS_H

#include <QtGlobal>

// How the worker downloads and installs: what the configuration may change, each default
// written here only.
struct TransferSettings
{
    // milliseconds a transfer may go without receiving a byte before it fails
    int stallTimeout = 60 * 1000;
    // Files downloaded at once (1 to 64); 1: one after the other. As many as curl's
    // --parallel-max default and browsers use: 300 small files 40 ms away took 2.4 s with 6 (on
    // one manager), 1.8 s with 8, like curl with 8 (bench/README.md).
    int transfers = 8;
    // The same from a server that answered md5.txt over HTTP/2: the transfers are streams of
    // one connection, which cost the server no more connections, so more of them hide more of
    // the round trips. The configuration's Transfers sets both.
    int http2Transfers = 32;
    // A transfer that receives fewer than minimumRate bytes a second, averaged over each stretch
    // of rateWindow milliseconds, fails: a server can hold it open only so long by trickling. The
    // default is far below any working link (a poor mobile one moves some kilobytes a second),
    // far above a server that only keeps the connection alive. A rate of 0 sets no minimum.
    qint64 minimumRate = 1024;
    int rateWindow = 2 * 60 * 1000;
    // milliseconds installing waits for a file another process holds
    int lockedFileWait = 10 * 1000;
};

#endif // TRANSFERSETTINGS_H
