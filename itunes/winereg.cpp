#include "itunes/winereg.h"
#include "itunes/win32registry.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStringList>

#include <cstring>

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

int skipSpaces(const QByteArray &text, int p)
{
    while (p < text.size() && LineReader::isSpace(text[p]))
        ++p;
    return p;
}

// The character a one-letter C escape stands for; 0 for any other letter.
ushort letterEscape(char letter)
{
    static const char letters[] = "abefnrtv";
    static const ushort units[] = {'\a', '\b', 0x1b, '\f', '\n', '\r', '\t', '\v'};
    const char *found = letter ? std::strchr(letters, letter) : nullptr;
    return found ? units[found - letters] : 0;
}

// One escape, at p just after its backslash: appends what it stands for and
// returns the position after it.
int unescapeOne(const QByteArray &text, int p, QString &out)
{
    const int size = text.size();
    const char e = text[p];
    if (const ushort unit = letterEscape(e)) {
        out += QChar(unit);
        return p + 1;
    }
    if (e == 'x') {
        ++p;
        if (p >= size || !isHexDigit(text[p])) {
            out += QChar('x');
            return p;
        }
        ushort unit = 0;
        for (int digits = 0; digits < 4 && p < size && isHexDigit(text[p]); ++digits)
            unit = ushort(unit * 16 + hexValue(text[p++]));
        out += QChar(unit);
        return p;
    }
    if (e >= '0' && e <= '7') {
        ushort unit = 0;
        for (int digits = 0; digits < 3 && p < size && text[p] >= '0' && text[p] <= '7'; ++digits)
            unit = ushort(unit * 8 + (text[p++] - '0'));
        out += QChar(unit);
        return p;
    }
    // An escaped character above ASCII: the escape covers the whole
    // character, which the caller decodes next.
    if (static_cast<unsigned char>(e) >= 0x80)
        return p;
    out += QChar(static_cast<ushort>(e));
    return p + 1;
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
        } else if (c != '\\') {
            out += QChar(static_cast<ushort>(c));
            ++p;
        } else if (++p >= size) {
            return -1;  // a backslash that ends the line escapes nothing
        } else {
            p = unescapeOne(text, p, out);
        }
    }
    return p >= size ? -1 : p + 1;
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
            const int start = skipSpaces(line.text, 0);
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

    // How far a value line could be read as text.
    enum class Read { Text, Unreadable, Malformed };

    // "Name"=data or @=data. Hex data can go on over further lines, which
    // are consumed here even when the value itself is not wanted. A line that
    // is broken before its data starts is skipped alone, as Wine skips it.
    void value(const Line &line, int from)
    {
        QString name;
        const int p = dataStart(line.text, from, name);
        if (p < 0)
            return;
        const QByteArray data = line.text.mid(p);
        QString text;
        Read read = Read::Unreadable;
        if (data.startsWith('"') || data.startsWith("str:\"") || data.startsWith("str(2):\"")
            || data.startsWith("str(7):\"")) {
            read = stringData(line, data, text);
        } else if (data.startsWith("hex:") || data.startsWith("hex(")) {
            read = hexData(line, p, data, text);
        } else if (!data.startsWith("dword:")) {
            malformed("unknown value type");
            return;
        }

        const QString key = folded(name);
        if (read == Read::Malformed || !m_current || !m_wanted.contains(key))
            return;
        // A later line for the same value replaces it, whatever its type.
        if (read == Read::Text)
            m_current->values.insert(key, text);
        else
            m_current->values.remove(key);
    }

    // Where the data of a value line starts, after its name and "=", or -1
    // for a line broken before that.
    int dataStart(const QByteArray &text, int p, QString &name)
    {
        if (text[p] == '@') {
            ++p;
        } else {
            p = unescape(text, p + 1, '"', name);
            if (p < 0) {
                malformed("bad value name");
                return -1;
            }
        }
        p = skipSpaces(text, p);
        if (p >= text.size() || text[p] != '=') {
            malformed("no '=' after the value name");
            return -1;
        }
        return skipSpaces(text, p + 1);
    }

    // A quoted string; "str(7)" is a list of them, which a program reading
    // the value as text does not get.
    Read stringData(const Line &line, const QByteArray &data, QString &text)
    {
        if (line.overlong)
            return Read::Unreadable;  // far beyond what a value may hold
        if (unescape(data, data.indexOf('"') + 1, '"', text) < 0) {
            malformed("unterminated string");
            return Read::Malformed;
        }
        // Wine stores the text with a terminating NUL.
        const qint64 bytes = (qint64(text.size()) + 1) * 2;
        const bool readable = !data.startsWith("str(7)") && bytes <= MaxValueBytes;
        text = untilNul(text);
        return readable ? Read::Text : Read::Unreadable;
    }

    // "hex:" (binary) or "hex(N):" with the type in hex; only strings are
    // read as text. Strings that lack their terminating NUL are written so.
    Read hexData(const Line &line, int from, const QByteArray &data, QString &text)
    {
        quint32 type = 3;  // REG_BINARY
        int q = 4;
        if (data[3] == '(') {
            type = 0;
            int digits = 0;
            while (q < data.size() && isHexDigit(data[q]) && digits < 8) {
                type = type * 16 + quint32(hexValue(data[q++]));
                ++digits;
            }
            if (digits == 0 || !data.mid(q).startsWith("):")) {
                malformed("bad value type");
                return Read::Malformed;
            }
            q += 2;
        }
        QByteArray bytes;
        bool tooLong = false;
        if (!hexBytes(line, from + q, bytes, tooLong)) {
            malformed("bad hex data");
            return Read::Malformed;
        }
        if ((type != StringValue && type != ExpandStringValue) || tooLong || bytes.size() > MaxValueBytes)
            return Read::Unreadable;
        text.resize(bytes.size() / 2);
        for (int i = 0; i < text.size(); ++i)
            text[i] = QChar(ushort(uchar(bytes[2 * i]) | uchar(bytes[2 * i + 1]) << 8));
        text = untilNul(text);
        return Read::Text;
    }

    // Comma-separated hex bytes from position from of line, then of each
    // continuation line. tooLong is set once more bytes came than a value
    // may hold; those are checked but not kept.
    bool hexBytes(const Line &first, int from, QByteArray &bytes, bool &tooLong)
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
                p = skipSpaces(text, p);
                if (p >= text.size())
                    return true;
                // As in Wine, whatever follows the backslash is ignored.
                if (text[p] != '\\')
                    return false;
            }
            if (m_lines.tooLarge() || !m_lines.next(line))
                return false;
            p = skipSpaces(line.text, 0);
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
