#ifndef ROLLOUT_H
#define ROLLOUT_H

#include <QByteArray>
#include <QString>

// A staged rollout: a release reaches the installations whose bucket lies below its share. An
// installation's bucket for a release is the first 8 bytes of the SHA-256 of its identifier (32
// lower-case hex digits), a line feed and the release's folder name as UTF-8, read as an unsigned
// big-endian number, modulo 1,000,000. The share is Percent × 10000 of the same million, so each
// release draws its own set, and a higher percentage only ever adds installations to it.

constexpr int RolloutBuckets = 1000000;

// "Percent" of [Rollout]: a decimal from 0 to 100 with at most four digits after the point
// ("12.5"), as a share of RolloutBuckets (125000); false for any other text
bool parseRolloutPercent(const QString &text, int &share);
// the percentage of a share as the publisher writes it: "12.5", "100", "0.0001"
QString rolloutPercentText(int share);

// the bucket of the installation with that identifier for the release published in folder
int rolloutBucket(const QByteArray &installationId, const QString &folder);
bool takesPart(const QByteArray &installationId, const QString &folder, int share);

// true for 32 lower-case hex digits
bool isInstallationId(const QByteArray &text);
// a new identifier from the system's cryptographic random source
QByteArray newInstallationId();

#endif // ROLLOUT_H
