#include "verification.h"

#include "concurrentdigesthasher.h"

Verdict verifyFile(const ManifestEntry &entry, quint64 size, ConcurrentDigestHasher &hasher)
{
    if (size != entry.size)
        return Verdict::WrongSize;
    // a signed file by its signed hash alone (see concurrentdigesthasher.h)
    if (entry.signedHashKind != SignedHashKind::None)
        return !entry.signedHash.isEmpty() && hasher.signedHashHex() == entry.signedHash
            ? Verdict::Passed
            : Verdict::WrongSignedHash;
    if (hasher.digestText() != entry.digest)
        return Verdict::WrongDigest;
    return Verdict::Passed;
}
