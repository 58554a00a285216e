// readDescriptor on arbitrary bytes: update.ini arrives over plain HTTP and is saved to the cache
// directory before it is read.

#include "fuzzsupport.h"
#include "settingsfeedback.h"

#include "descriptor.h"
#include "plainini.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {
// removed again when libFuzzer exits (not after a crash, which leaves the input behind anyway)
std::unique_ptr<QTemporaryDir> workDir;
quint64 inputCount = 0;

bool writeInput(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(bytes) == bytes.size();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApplication(argc, argv);
    workDir = std::make_unique<QTemporaryDir>();
    if (!workDir->isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory: %s\n",
                     qPrintable(workDir->errorString()));
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // QSettings keeps parsed files in a process-wide cache by name and trusts a cached copy
    // while the file's size and modification time (milliseconds) are unchanged; inputs of the
    // same length come far faster than that, so every input gets a name of its own
    const QString path = workDir->filePath(QStringLiteral("update-%1.ini").arg(++inputCount));
    if (!writeInput(path, fuzzInput(data, size))) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }

    const UpdateDescriptor first = readDescriptor(path);
    // the second reading comes from the cache: it must not differ from the first
    const UpdateDescriptor second = readDescriptor(path);
    FUZZ_CHECK(first.updateType == second.updateType);
    FUZZ_CHECK(first.folder == second.folder);
    FUZZ_CHECK(first.version == second.version);

    // read as the updater reads the file (QSettings serves it from its cache): every value is
    // text (or a list of texts), whatever the file says, or an "@Variant(...)" from the network is decoded again
    const QSettings settings(path, plainIniFormat());
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        // (a key QSettings cannot look up again, "Section/" from an empty name, reads as invalid)
        const int type = settings.value(key).userType();
        // (a list is how Qt reads an unquoted comma too: texts, never decoded objects)
        FUZZ_CHECK(type == QMetaType::QString || type == QMetaType::QStringList
                   || type == QMetaType::UnknownType);
    }
    settingsfeedback::noteValues(settings);

    QFile::remove(path);
    return 0;
}
