#ifndef SETTINGSFEEDBACK_H
#define SETTINGSFEEDBACK_H

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>

// Qt comes from the distribution without coverage instrumentation, so libFuzzer cannot see what
// QSettings does with the map a reader hands it. What the settings object ends up holding stands
// in for that: counters in libFuzzer's extra-counters section, one per kind of value and per
// order of magnitude of the number of keys and of a value's size, make an input that yields a new
// kind of value or a new size worth keeping.
namespace settingsfeedback {

constexpr int TypeSlots = 64;
constexpr int SizeSlots = 32;
__attribute__((section("__libfuzzer_extra_counters"))) inline uint8_t counters[TypeSlots + SizeSlots];

inline void bump(int slot)
{
    if (counters[slot] < 255)
        ++counters[slot];
}

inline int magnitude(int count)
{
    int bits = 0;
    while (count > 0 && bits < SizeSlots - 1) {
        count >>= 1;
        ++bits;
    }
    return bits;
}

// counts what each key holds
inline void noteValues(const QSettings &settings)
{
    const QStringList keys = settings.allKeys();
    bump(TypeSlots + magnitude(keys.size()));
    for (const QString &key : keys) {
        const QVariant value = settings.value(key);
        const int type = value.userType();
        bump(type < TypeSlots - 1 ? type : TypeSlots - 1);
        if (type == QMetaType::QVariantList || type == QMetaType::QStringList)
            bump(TypeSlots + magnitude(value.toList().size()));
        else if (type == QMetaType::QVariantMap)
            bump(TypeSlots + magnitude(value.toMap().size()));
        else if (type == QMetaType::QByteArray || type == QMetaType::QString)
            bump(TypeSlots + magnitude(value.toString().size()));
    }
}

} // namespace settingsfeedback

#endif // SETTINGSFEEDBACK_H
