// parseManifest on arbitrary bytes: the manifest arrives over plain HTTP and its paths are
// written to below an installation that the updater changes with administrator rights.

#include "fuzzsupport.h"

#include "manifest.h"

namespace {
// parses text that should hold exactly the one entry
bool readsBackAs(const QByteArray &text, const ManifestEntry &entry)
{
    const Manifest again = parseManifest(text);
    return again.size() == 1 && again.firstKey() == entry.path && again.first() == entry;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzInput(data, size);
    const Manifest manifest = parseManifest(bytes);

    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        const ManifestEntry &entry = it.value();
        FUZZ_CHECK(it.key() == entry.path);

        // what the installation code relies on before it joins the path to the root
        FUZZ_CHECK(isSafeManifestPath(entry.path));
        FUZZ_CHECK(!entry.path.startsWith(QLatin1Char('/')));
        FUZZ_CHECK(!entry.path.contains(QLatin1Char('\\')));
        // a NUL would cut the name short wherever it reaches a C interface
        FUZZ_CHECK(!entry.path.contains(QChar(0)));
        // a path with a field or line separator could not be written back as one line
        FUZZ_CHECK(!entry.path.contains(QLatin1Char('\t')));
        FUZZ_CHECK(!entry.path.contains(QLatin1Char('\n')));

        // update-publish writes manifestLine: what it writes must read back as the same entry.
        // With CRLF the parser's single CR strip takes the line end's CR, so this holds for every
        // path; without a line end a CR that ends the path is taken for the line end's.
        FUZZ_CHECK(readsBackAs(manifestLine(entry) + "\r\n", entry));
        if (!entry.path.endsWith(QLatin1Char('\r'))) {
            FUZZ_CHECK(readsBackAs(manifestLine(entry), entry));
            FUZZ_CHECK(readsBackAs(manifestLine(entry) + '\n', entry));
        }
    }
    return 0;
}
