#include "verification.h"

#include "concurrentdigesthasher.h"

Verdict verifyFile(const ManifestEntry &entry, quint64 size, ConcurrentDigestHasher &hasher)
{
    if (size != entry.size)
        return Verdict::WrongSize;
    if (hasher.digestText() != entry.digest)
        return Verdict::WrongDigest;
    if (!entry.sha256.isEmpty() && hasher.sha256Hex() != entry.sha256)
        return Verdict::WrongSignedHash;
    return Verdict::Passed;
}
