// readConfig on arbitrary bytes as system.cfg, the local configuration beside the updater.

#include "fuzzsupport.h"
#include "settingsfeedback.h"

#include "config.h"
#include "plainini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>

namespace {
// removed again when libFuzzer exits (not after a crash, which leaves the input behind anyway)
std::unique_ptr<QTemporaryDir> workDir;
quint64 inputCount = 0;
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
    // the file name is fixed, so each input gets a directory of its own: QSettings would
    // otherwise hand out its cached reading of an earlier input of the same size
    const QString updaterDir = workDir->filePath(QString::number(++inputCount));
    const QString file = QDir(updaterDir).filePath(configFileName());
    const QByteArray bytes = fuzzInput(data, size);
    QFile out(file);
    if (!QDir().mkpath(updaterDir) || !out.open(QIODevice::WriteOnly)
        || out.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        std::abort();
    }
    out.close();

    const UpdaterConfig config = readConfig(updaterDir);
    // the updater starts this program again at the end; a relative name would depend on the
    // working directory it happens to have
    FUZZ_CHECK(QFileInfo(config.hostProgram).isAbsolute());

    // read as the updater reads the file (QSettings serves it from its cache): every value is
    // text (or a list of texts), whatever the file says, or an "@Variant(...)" from the network is decoded again
    const QSettings settings(file, plainIniFormat());
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        // (a key QSettings cannot look up again, "Section/" from an empty name, reads as invalid)
        const int type = settings.value(key).userType();
        // (a list is how Qt reads an unquoted comma too: texts, never decoded objects)
        FUZZ_CHECK(type == QMetaType::QString || type == QMetaType::QStringList
                   || type == QMetaType::UnknownType);
    }
    settingsfeedback::noteValues(settings);

    QFile::remove(file);
    QDir().rmdir(updaterDir);
    return 0;
}
