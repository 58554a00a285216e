// What a delta update takes from the network: the index of patches, and the patches themselves,
// which the updater applies as they arrive, before anything can check them.
//
// The first byte chooses: odd, the rest is an index, which must write back as text that reads
// the same; even, the rest is a patch fed in pieces of 1 to 128 bytes against a fixed earlier
// version, which may fail but never writes past its output or claims a whole file it did not
// make.

#include "fuzzsupport.h"

#include "deltaindex.h"
#include "patchapplier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {
constexpr int BaseSize = 4096;
constexpr size_t OutputSize = 4200; // what the seed patch makes
QString basePath;

bool samePatches(const QList<DeltaPatch> &a, const QList<DeltaPatch> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].path != b[i].path || a[i].baseDigest != b[i].baseDigest
            || a[i].size != b[i].size || a[i].digest != b[i].digest)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApplication(argc, argv);
    // the earlier version: byte i is i * 7 modulo 251, as the seed patch was made against
    basePath = QDir::temp().filePath(QStringLiteral("fuzz_delta_base_%1").arg(QCoreApplication::applicationPid()));
    QByteArray base(BaseSize, Qt::Uninitialized);
    for (int i = 0; i < BaseSize; ++i)
        base[i] = char(i * 7 % 251);
    QFile file(basePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(base) != base.size())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input = fuzzInput(data + 1, size - 1);
    if (data[0] & 1) {
        QList<DeltaPatch> patches;
        if (!parseDeltaIndex(input, patches))
            return 0;
        QList<DeltaPatch> again;
        FUZZ_CHECK(parseDeltaIndex(deltaIndexText(patches), again));
        FUZZ_CHECK(samePatches(patches, again));
        return 0;
    }
    // guard bytes after the output catch a write past its end
    std::vector<uchar> output(OutputSize + 64, 0xa5);
    PatchApplier applier;
    FUZZ_CHECK(applier.begin(QDir::tempPath(), QFileInfo(basePath).fileName(), output.data(),
                             OutputSize));
    const int piece = 1 + (data[0] >> 1) % 128;
    bool fed = true;
    quint64 handed = 0; // the output is handed over in order, each byte once
    const auto sink = [&](const uchar *made, qint64 length) {
        FUZZ_CHECK(made == output.data() + handed && length > 0);
        handed += quint64(length);
    };
    for (int at = 0; fed && at < input.size(); at += piece)
        fed = applier.feed(input.constData() + at, qMin(piece, input.size() - at), sink);
    FUZZ_CHECK(applier.produced() <= OutputSize);
    FUZZ_CHECK(fed ? handed == applier.produced() : handed <= applier.produced());
    FUZZ_CHECK(!applier.complete() || (fed && applier.produced() == OutputSize));
    for (size_t i = OutputSize; i < output.size(); ++i)
        FUZZ_CHECK(output[i] == 0xa5);
    return 0;
}
