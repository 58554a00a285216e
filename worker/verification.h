#ifndef VERIFICATION_H
#define VERIFICATION_H

#include "manifest.h"

class ConcurrentDigestHasher;

// What a file that arrived, or that a patch made, fails first: its size, then for a signed
// release the hash the vendor signed, for an unsigned one its digest. The hash is waited for only
// once the size is right. A cache file is replaced only by a file that passed.
enum class Verdict { Passed, WrongSize, WrongDigest, WrongSignedHash };

// size: the bytes the hasher was given
Verdict verifyFile(const ManifestEntry &entry, quint64 size, ConcurrentDigestHasher &hasher);

#endif // VERIFICATION_H
