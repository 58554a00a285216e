#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QGuiApplication>
#include <QTextCodec>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One application object for the whole process, created before the first input, and of the
// kind the updater has, so that whatever the code under test builds from an input (a pixmap or
// a font decoded from a settings value, for instance) behaves as it would there; with a
// QCoreApplication a pixmap ends the process with qFatal. The offscreen platform needs no
// display. It is never destroyed, libFuzzer leaves through exit().
inline void startFuzzApplication(int *argc, char ***argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    new QGuiApplication(*argc, *argv);
    // the local 8-bit encoding decides how manifest paths read; pin it instead of inheriting
    // whatever locale the machine running the fuzzer has (the Linux default, UTF-8)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    // a QByteArray holds at most INT_MAX bytes; libFuzzer's inputs are far smaller anyway
    return QByteArray(reinterpret_cast<const char *>(data), int(std::min<size_t>(size, INT_MAX)));
}

// a broken invariant is a finding like a crash: report it and abort so libFuzzer keeps the input
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

#endif // FUZZSUPPORT_H
