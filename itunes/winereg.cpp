#include "itunes/winereg.h"
#include "itunes/win32registry.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStringList>

namespace {

// The first line Wine writes and insists on when it loads the file.
const char RegistryHeader[] = "WINE REGISTRY Version 2";

// No value we keep needs more than about 12 KiB of text (2047 units, each at
// most six characters escaped), so a longer line is only looked at far enough
// to know what it was: a key whose name we never need, or a value too large
// to be kept anyway.
constexpr int MaxLineBytes = 64 * 1024;

// A real system.reg is a few megabytes; anything this large is not one.
constexpr qint64 MaxFileBytes = 256LL * 1024 * 1024;

constexpr int MaxValueBytes = int(uninstall::MaxValueBytes);

// Malformed lines are reported one by one up to this many, then only counted.
constexpr int ReportedLines = 5;

// REG_SZ and REG_EXPAND_SZ, as numbered in "hex(N):".
constexpr quint32 StringValue = 1;
constexpr quint32 ExpandStringValue = 2;

// Registry names are compared without regard to case, one UTF-16 unit at a
// time, as Wine compares them; folded names also sort in Wine's order.
QString folded(const QString &name)
{
    QString out = name;
    for (QChar &c : out)
        c = c.toLower();
    return out;
}

struct Line
{
    QByteArray text;  // without the line end; cut at a NUL byte
    bool overlong = false;  // text holds only the first MaxLineBytes
    bool continued = false;  // the whole line ends with a backslash
};

class LineReader
{
public:
    explicit LineReader(QIODevice *device)
        : m_device(device)
    { }

    bool next(Line &line)
    {
        line.text.clear();
        line.overlong = false;
        char last = 0;
        bool any = false;
        char chunk[4096];
        for (;;) {
            const qint64 n = m_device->readLine(chunk, sizeof chunk);
            if (n <= 0)
                break;
            any = true;
            m_total += n;
            const bool complete = chunk[n - 1] == '\n';
            const int size = int(complete ? n - 1 : n);
            for (int i = 0; i < size; ++i)
                if (!isSpace(chunk[i]))
                    last = chunk[i];
            if (!line.overlong) {
                const int room = MaxLineBytes - line.text.size();
                line.text.append(chunk, qMin(room, size));
                line.overlong = size > room;
            }
            if (complete || m_total > MaxFileBytes)
                break;
        }
        if (!any)
            return false;
        ++m_number;
        if (line.text.endsWith('\r'))
            line.text.chop(1);
        const int nul = line.text.indexOf('\0');
        if (nul >= 0)
            line.text.truncate(nul);
        line.continued = last == '\\';
        return true;
    }

    int number() const { return m_number; }
    bool tooLarge() const { return m_total > MaxFileBytes; }

    static bool isSpace(char c)
    {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    }

private:
    QIODevice *m_device;
    qint64 m_total = 0;
    int m_number = 0;
};

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Undoes Wine's escaping of names and strings up to the unescaped end
// character: C escapes, \x with up to four hex digits, octal with up to
// three, any other escaped character stands for itself. Wine writes plain
// ASCII; raw bytes above it are taken as UTF-8 (invalid ones become U+FFFD).
// Returns the position after the end character, or -1 when there is none.
int unescape(const QByteArray &text, int from, char endChar, QString &out)
{
    out.clear();
    const int size = text.size();
    int p = from;
    while (p < size && text[p] != endChar) {
        const char c = text[p];
        if (static_cast<unsigned char>(c) >= 0x80) {
            int end = p;
            while (end < size && static_cast<unsigned char>(text[end]) >= 0x80)
                ++end;
            out += QString::fromUtf8(text.constData() + p, end - p);
            p = end;
            continue;
        }
        if (c != '\\') {
            out += QChar(static_cast<ushort>(c));
            ++p;
            continue;
        }
        if (++p >= size)
            return -1;  // a backslash that ends the line escapes nothing
        const char e = text[p];
        switch (e) {
        case 'a':
            out += QChar('\a');
            ++p;
            break;
        case 'b':
            out += QChar('\b');
            ++p;
            break;
        case 'e':
            out += QChar(0x1b);
            ++p;
            break;
        case 'f':
            out += QChar('\f');
            ++p;
            break;
        case 'n':
            out += QChar('\n');
            ++p;
            break;
        case 'r':
            out += QChar('\r');
            ++p;
            break;
        case 't':
            out += QChar('\t');
            ++p;
            break;
        case 'v':
            out += QChar('\v');
            ++p;
            break;
        case 'x': {
            ++p;
            if (p >= size || !isHexDigit(text[p])) {
                out += QChar('x');
                break;
            }
            ushort unit = 0;
            for (int digits = 0; digits < 4 && p < size && isHexDigit(text[p]); ++digits)
                unit = ushort(unit * 16 + hexValue(text[p++]));
            out += QChar(unit);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                ushort unit = 0;
                for (int digits = 0; digits < 3 && p < size && text[p] >= '0' && text[p] <= '7'; ++digits)
                    unit = ushort(unit * 8 + (text[p++] - '0'));
                out += QChar(unit);
            } else if (static_cast<unsigned char>(e) >= 0x80) {
                // The escape covers the whole character, which the next
                // round decodes.
            } else {
                out += QChar(static_cast<ushort>(e));
                ++p;
            }
            break;
        }
    }
    if (p >= size)
        return -1;
    return p + 1;
}

// Text as a program reading the value sees it: up to the first NUL.
QString untilNul(const QString &text)
{
    const int nul = text.indexOf(QChar(0));
    return nul < 0 ? text : text.left(nul);
}

// One uninstall entry: the wanted values it has, keyed by folded name.
struct Entry
{
    QMap<QString, QString> values;
};

class Parser
{
public:
    explicit Parser(QIODevice *device)
        : m_lines(device)
    {
        for (const QString &part : QString::fromWCharArray(uninstall::Wow64KeyPath).split('\\'))
            m_uninstallPaths[Wow64View] << folded(part);
        for (const QString &part : QString::fromWCharArray(uninstall::KeyPath).split('\\'))
            m_uninstallPaths[NativeView] << folded(part);
        for (const wchar_t *name : uninstall::ValueNames)
            m_wanted.insert(folded(QString::fromWCharArray(name)), QString::fromWCharArray(name));
    }

    QMap<QString, QString> run()
    {
        Line line;
        if (!m_lines.next(line) || line.overlong || line.text != RegistryHeader) {
            qDebug() << "Wine registry: not a registry file (first line is not" << RegistryHeader << ")";
            return {};
        }
        while (m_lines.next(line)) {
            if (m_lines.tooLarge()) {
                qDebug() << "Wine registry: file larger than" << MaxFileBytes << "bytes, not read";
                return {};
            }
            int start = 0;
            while (start < line.text.size() && LineReader::isSpace(line.text[start]))
                ++start;
            const char first = start < line.text.size() ? line.text[start] : '\0';
            switch (first) {
            case '[':
                section(line, start + 1);
                break;
            case '"':
            case '@':
                value(line, start);
                break;
            case '#':
            case ';':
            case '\0':
                break;
            default:
                malformed("unrecognised line");
                break;
            }
        }
        if (m_malformed > ReportedLines)
            qDebug() << "Wine registry:" << m_malformed << "malformed lines skipped in all";
        return result();
    }

private:
    void malformed(const char *what)
    {
        if (++m_malformed <= ReportedLines)
            qDebug() << "Wine registry: line" << m_lines.number() << "skipped:" << what;
    }

    // "[Software\\Microsoft\\...\\Uninstall\\{GUID}] 1700000000": the key
    // name is relative to HKEY_LOCAL_MACHINE; the time after it is ignored.
    void section(const Line &line, int from)
    {
        m_current = nullptr;
        QString name;
        if (line.overlong || unescape(line.text, from, ']', name) < 0) {
            malformed("bad key name");
            return;
        }
        const QStringList parts = name.split('\\');
        for (int view : {Wow64View, NativeView}) {
            const QStringList &path = m_uninstallPaths[view];
            if (parts.size() != path.size() + 1 || parts.last().isEmpty())
                continue;
            bool same = true;
            for (int i = 0; i < path.size() && same; ++i)
                same = folded(parts[i]) == path[i];
            // The same key may appear twice; its values then merge, as in Wine.
            if (same)
                m_current = &m_entries[view][folded(parts.last())];
        }
    }

    // "Name"=data or @=data. Hex data can go on over further lines, which
    // are consumed here even when the value itself is not wanted. A line that
    // is broken before its data starts is skipped alone, as Wine skips it.
    void value(const Line &line, int from)
    {
        const QByteArray &text = line.text;
        QString name;
        int p = from;
        if (text[p] == '@') {
            ++p;
        } else {
            p = unescape(text, p + 1, '"', name);
            if (p < 0) {
                malformed("bad value name");
                return;
            }
        }
        while (p < text.size() && LineReader::isSpace(text[p]))
            ++p;
        if (p >= text.size() || text[p] != '=') {
            malformed("no '=' after the value name");
            return;
        }
        ++p;
        while (p < text.size() && LineReader::isSpace(text[p]))
            ++p;

        const QString key = folded(name);
        const bool wanted = m_current && m_wanted.contains(key);
        const QByteArray data = text.mid(p);
        QString textValue;
        bool readable = false;

        if (data.startsWith('"') || data.startsWith("str:\"") || data.startsWith("str(2):\"")
            || data.startsWith("str(7):\"")) {
            const int quote = data.indexOf('"');
            if (line.overlong) {
                readable = false;  // far beyond what a value may hold
            } else if (unescape(data, quote + 1, '"', textValue) < 0) {
                malformed("unterminated string");
                return;
            } else {
                // Wine stores the text with a terminating NUL.
                const qint64 bytes = (qint64(textValue.size()) + 1) * 2;
                readable = !data.startsWith("str(7)") && bytes <= MaxValueBytes;
                textValue = untilNul(textValue);
            }
        } else if (data.startsWith("hex:") || data.startsWith("hex(")) {
            quint32 type = 0;
            int q = 4;
            if (data[3] == '(') {
                int digits = 0;
                while (q < data.size() && isHexDigit(data[q]) && digits < 8) {
                    type = type * 16 + quint32(hexValue(data[q++]));
                    ++digits;
                }
                if (digits == 0 || !data.mid(q).startsWith("):")) {
                    malformed("bad value type");
                    return;
                }
                q += 2;
            } else {
                type = 3;  // REG_BINARY
            }
            QByteArray bytes;
            bool tooLong = false;
            if (!hexData(line, p + q, bytes, tooLong)) {
                malformed("bad hex data");
                return;
            }
            // Strings that lack their terminating NUL are written as hex.
            readable = (type == StringValue || type == ExpandStringValue) && !tooLong
                && bytes.size() <= MaxValueBytes;
            if (readable) {
                const int units = bytes.size() / 2;
                textValue.resize(units);
                for (int i = 0; i < units; ++i)
                    textValue[i] = QChar(ushort(uchar(bytes[2 * i]) | uchar(bytes[2 * i + 1]) << 8));
                textValue = untilNul(textValue);
            }
        } else if (data.startsWith("dword:")) {
            readable = false;
        } else {
            malformed("unknown value type");
            return;
        }

        if (!wanted)
            return;
        // A later line for the same value replaces it, whatever its type.
        if (readable)
            m_current->values.insert(key, textValue);
        else
            m_current->values.remove(key);
    }

    // Comma-separated hex bytes from position from of line, then of each
    // continuation line. tooLong is set once more bytes came than a value
    // may hold; those are checked but not kept.
    bool hexData(const Line &first, int from, QByteArray &bytes, bool &tooLong)
    {
        Line line = first;
        int p = from;
        for (;;) {
            const QByteArray &text = line.text;
            if (line.overlong)
                tooLong = true;
            while (p + 1 < text.size() && isHexDigit(text[p]) && isHexDigit(text[p + 1])) {
                if (bytes.size() <= MaxValueBytes)
                    bytes.append(char(hexValue(text[p]) * 16 + hexValue(text[p + 1])));
                else
                    tooLong = true;
                p += 2;
                if (p < text.size() && text[p] == ',')
                    ++p;
            }
            if (line.overlong) {
                if (!line.continued)
                    return true;
            } else {
                while (p < text.size() && LineReader::isSpace(text[p]))
                    ++p;
                if (p >= text.size())
                    return true;
                // As in Wine, whatever follows the backslash is ignored.
                if (text[p] != '\\')
                    return false;
            }
            if (m_lines.tooLarge() || !m_lines.next(line))
                return false;
            p = 0;
            while (p < line.text.size() && LineReader::isSpace(line.text[p]))
                ++p;
        }
    }

    QMap<QString, QString> result() const
    {
        const QString displayName = folded(QString::fromWCharArray(uninstall::DisplayNameValue));
        const QString iTunes = QString::fromWCharArray(uninstall::ITunesDisplayName);
        QMap<QString, QString> info;
        // The 32-bit view first, then the 64-bit one, as on Windows. Each
        // is ordered by folded name, the order in which Wine enumerates
        // subkeys: later entries overwrite earlier ones.
        for (const QMap<QString, Entry> &entries : m_entries) {
            for (const Entry &entry : entries) {
                const auto name = entry.values.constFind(displayName);
                if (name == entry.values.constEnd() || *name != iTunes)
                    continue;
                for (auto it = entry.values.constBegin(); it != entry.values.constEnd(); ++it)
                    info.insert(m_wanted.value(it.key()), it.value());
            }
        }
        return info;
    }

    LineReader m_lines;
    enum { Wow64View, NativeView, Views };
    QStringList m_uninstallPaths[Views];
    QMap<QString, QString> m_wanted;  // folded name -> name as reported
    QMap<QString, Entry> m_entries[Views];  // folded subkey name -> entry
    Entry *m_current = nullptr;
    int m_malformed = 0;
};

}  // namespace

QMap<QString, QString> parseWineUninstall(QIODevice *device)
{
    if (!device || !device->isOpen() || !device->isReadable()) {
        qDebug() << "Wine registry: device not open for reading";
        return {};
    }
    return Parser(device).run();
}

QMap<QString, QString> readWineUninstall(const QString &systemRegPath)
{
    const QFileInfo info(systemRegPath);
    if (!info.exists()) {
        qDebug() << "Wine registry:" << systemRegPath << "not found";
        return {};
    }
    // Only a regular file: a device or pipe in its place could be endless.
    if (!info.isFile()) {
        qDebug() << "Wine registry:" << systemRegPath << "is not a regular file";
        return {};
    }
    QFile file(systemRegPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Wine registry: cannot read" << systemRegPath << file.errorString();
        return {};
    }
    return parseWineUninstall(&file);
}
