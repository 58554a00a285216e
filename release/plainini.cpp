#include "plainini.h"

#include <QHash>
#include <QIODevice>
#include <QStringList>

namespace {
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// keys and section names: %XX and %UXXXX escapes, as Qt writes them
QString unescapedKey(const QByteArray &text)
{
    QString key;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '%' && i + 5 < text.size() && text.at(i + 1) == 'U') {
            int value = 0;
            bool ok = true;
            for (int j = i + 2; j < i + 6; ++j) {
                const int digit = hexValue(text.at(j));
                ok &= digit >= 0;
                value = value * 16 + qMax(digit, 0);
            }
            if (ok) {
                key += QChar(ushort(value));
                i += 5;
                continue;
            }
        } else if (c == '%' && i + 2 < text.size() && hexValue(text.at(i + 1)) >= 0
            && hexValue(text.at(i + 2)) >= 0) {
            key += QChar(ushort(hexValue(text.at(i + 1)) * 16 + hexValue(text.at(i + 2))));
            i += 2;
            continue;
        }
        key += QLatin1Char(c);
    }
    return key;
}

// values: surrounding blanks dropped, double quotes removed, an unquoted ";" ends the value,
// backslash escapes decoded (\a \b \f \n \r \t \v \" \' \? \\, \x followed by hex digits,
// \ followed by octal digits; an unknown escape stands for nothing), as Qt reads them
QString unescapedValue(const QByteArray &text, bool utf8)
{
    QString value;
    bool quoted = false;
    int quotedEnd = 0; // blanks up to here were quoted and stay
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '"') {
            quoted = !quoted;
            quotedEnd = value.size();
            continue;
        }
        if (c == ';' && !quoted) {
            while (value.size() > quotedEnd
                && (value.endsWith(QLatin1Char(' ')) || value.endsWith(QLatin1Char('\t'))))
                value.chop(1);
            break;
        }
        if (c != '\\' || i + 1 == text.size()) {
            // raw bytes are Latin-1, or UTF-8 in a file that begins with a byte-order mark, as
            // Qt reads them: a run of them is decoded at once
            int end = i + 1;
            while (end < text.size() && text.at(end) != '"' && text.at(end) != ';'
                && text.at(end) != '\\')
                ++end;
            value += utf8 ? QString::fromUtf8(text.constData() + i, end - i)
                          : QString::fromLatin1(text.constData() + i, end - i);
            i = end - 1;
            continue;
        }
        const char e = text.at(++i);
        switch (e) {
        case 'a':
            value += QLatin1Char('\a');
            break;
        case 'b':
            value += QLatin1Char('\b');
            break;
        case 'f':
            value += QLatin1Char('\f');
            break;
        case 'n':
            value += QLatin1Char('\n');
            break;
        case 'r':
            value += QLatin1Char('\r');
            break;
        case 't':
            value += QLatin1Char('\t');
            break;
        case 'v':
            value += QLatin1Char('\v');
            break;
        case '"':
        case '\'':
        case '?':
        case '\\':
            value += QLatin1Char(e);
            break;
        case 'x': {
            // at most four digits, one UTF-16 code unit
            uint code = 0;
            int digits = 0;
            while (i + 1 < text.size() && hexValue(text.at(i + 1)) >= 0 && digits < 4) {
                code = code * 16 + uint(hexValue(text.at(++i)));
                ++digits;
            }
            if (digits > 0)
                value += QChar(ushort(code));
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                uint code = uint(e - '0');
                while (i + 1 < text.size() && text.at(i + 1) >= '0' && text.at(i + 1) <= '7'
                    && code < 0x2000)
                    code = code * 8 + uint(text.at(++i) - '0');
                value += QChar(ushort(code));
            }
        }
    }
    // Qt writes a text that begins with "@" with the "@" doubled; anything else that begins with
    // "@" stays as it is written
    if (value.startsWith(QLatin1String("@@")))
        value.remove(0, 1);
    // bytes written as @ByteArray(...) are text as well
    else if (value.startsWith(QLatin1String("@ByteArray(")) && value.endsWith(QLatin1Char(')')))
        value = value.mid(11, value.size() - 12);
    return value;
}
// Qt reads a value with a comma outside quotes (and before a comment) as a list of texts, one
// per piece, so "URL=http://h/,x" is a list, whose text is empty, not the whole line
QList<QByteArray> unquotedCommaPieces(const QByteArray &text)
{
    QList<QByteArray> pieces;
    bool quoted = false;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ';') {
            break;
        } else if (!quoted && c == ',') {
            pieces.append(text.mid(start, i - start).trimmed());
            start = i + 1;
        }
    }
    if (!pieces.isEmpty())
        pieces.append(text.mid(start).trimmed());
    return pieces;
}

QVariant valueOf(const QByteArray &text, bool utf8)
{
    const QList<QByteArray> pieces = unquotedCommaPieces(text);
    if (pieces.isEmpty())
        return unescapedValue(text, utf8);
    QStringList list;
    for (const QByteArray &piece : pieces)
        list.append(unescapedValue(piece, utf8));
    return list;
}

// Qt's INI keys ignore letter case on Windows (the later of two spellings counts) and are exact
// elsewhere
constexpr Qt::CaseSensitivity KeyCase =
#ifdef Q_OS_WIN
    Qt::CaseInsensitive;
#else
    Qt::CaseSensitive;
#endif

// where letter case is ignored, a name keeps the spelling it was first seen with
QString firstSpelling(QHash<QString, QString> &seen, const QString &name)
{
    if (KeyCase == Qt::CaseSensitive)
        return name;
    return *seen.insert(name.toCaseFolded(), seen.value(name.toCaseFolded(), name));
}
} // namespace

QVariant plainIniValue(
    const QSettings::SettingsMap &map, const QString &key, const QVariant &defaultValue)
{
    if (KeyCase == Qt::CaseSensitive)
        return map.value(key, defaultValue);
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return defaultValue;
}

bool readPlainIni(QIODevice &device, QSettings::SettingsMap &map)
{
    if (!device.isReadable())
        return false;
    QString section;
    QHash<QString, QString> sectionSpellings;
    QHash<QString, QString> keySpellings;
    QByteArray content = device.readAll();
    const bool utf8 = content.startsWith("\xEF\xBB\xBF");
    if (utf8)
        content.remove(0, 3);
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            const int end = line.indexOf(']');
            section = unescapedKey(line.mid(1, end < 0 ? -1 : end - 1).trimmed());
            // [General] holds the keys outside any group; [%General] is a group named General
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            else if (section == QLatin1String("%General"))
                section = QStringLiteral("General");
            section = firstSpelling(sectionSpellings, section);
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QString key = unescapedKey(line.left(equals).trimmed());
        const QString fullKey = section.isEmpty() ? key : section + QLatin1Char('/') + key;
        // as with Qt's reader, the last of two equal keys counts
        map.insert(
            firstSpelling(keySpellings, fullKey), valueOf(line.mid(equals + 1).trimmed(), utf8));
    }
    return true;
}

QSettings::Format plainIniFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(
        QStringLiteral("ini"), readPlainIni,
        [](QIODevice &, const QSettings::SettingsMap &) { return false; }, // read only
        KeyCase);
    return format;
}
