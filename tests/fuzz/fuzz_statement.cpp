// readSignedStatement on arbitrary bytes: update.sig arrives over plain HTTP; and the text of
// whatever parses, as the publisher reads its own files.

#include "fuzzsupport.h"

#include "releasestatement.h"

namespace {
// a key no input can have signed with: every statement is unsigned
const QList<QByteArray> trusted {QByteArray(32, '\x01')};

bool sameStatement(const ReleaseStatement &a, const ReleaseStatement &b)
{
    return a.release == b.release && a.version == b.version && a.folder == b.folder
            && a.issued == b.issued && a.expires == b.expires
            && a.descriptorSha256 == b.descriptorSha256 && a.manifestSha256 == b.manifestSha256
            && a.files == b.files && a.fileHash == b.fileHash;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ReleaseStatement statement;
    const QByteArray input = fuzzInput(data, size);
    FUZZ_CHECK(readSignedStatement(input, trusted, statement) != StatementError::None);
    if (!readStatementText(input, statement))
        return 0;
    // what parses is written back as text that parses to the same statement
    ReleaseStatement again;
    FUZZ_CHECK(readSignedStatement(statementText(statement), trusted, again)
               == StatementError::NotSigned);
    FUZZ_CHECK(readStatementText(statementText(statement), again));
    FUZZ_CHECK(sameStatement(statement, again));
    return 0;
}
