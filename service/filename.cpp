#include "service/filename.h"

#include <QRegularExpression>

namespace {

bool forbidden(QChar c)
{
    switch (c.unicode()) {
    case '/':
    case '\\':
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
        return true;
    default:
        return c.category() == QChar::Other_Control;
    }
}

// Trailing spaces and dots in any mix ("a. ." too): Windows drops them
// silently, so the stored name would differ from the one checked.
QString trimmed(QString s)
{
    int start = 0;
    while (start < s.size() && s.at(start) == QLatin1Char(' '))
        ++start;
    int end = s.size();
    while (end > start && (s.at(end - 1) == QLatin1Char(' ') || s.at(end - 1) == QLatin1Char('.')))
        --end;
    return s.mid(start, end - start);
}

bool deviceName(const QString &s)
{
    // COM and LPT with a superscript digit, and the console's two own
    // names, are devices to Windows as well.
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)[0-9\u00B9\u00B2\u00B3]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(s).hasMatch();
}

QString finished(QString s)
{
    s = trimmed(s);
    if (s.isEmpty())
        return QString::fromUtf8(RingtoneFile::FallbackName);
    if (deviceName(s))
        s.prepend(QLatin1Char('_'));
    return s;
}

// Shortened to at most `length` UTF-16 units, never between the two halves
// of a surrogate pair.
QString cut(const QString &s, int length)
{
    if (length < 1)
        length = 1;
    if (s.size() <= length)
        return s;
    if (s.at(length - 1).isHighSurrogate())
        --length;
    return s.left(length);
}

// A file name's length as the strictest file system that may hold the
// folder counts it: in UTF-8 bytes. NTFS counts UTF-16 units, never more
// than the bytes, but the Windows program under Wine writes to a Unix file
// system, which refuses more than 255 bytes.
int nameLength(const QString &s)
{
    return s.toUtf8().size();
}

}  // namespace

namespace RingtoneFile {

QString safeBaseName(const QString &name)
{
    QString s;
    s.reserve(name.size());
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            s.append(c).append(name.at(++i));
        } else if (c.isSurrogate() || forbidden(c)) {
            // A lone surrogate cannot be written as a file name on every system.
            s.append(QLatin1Char('_'));
        } else {
            s.append(c);
        }
    }
    return finished(s);
}

QString targetPath(const QString &folder, const QString &safeBase, int counter)
{
    const QString suffix = counter < 0 ? QString() : QStringLiteral("_%1").arg(counter);
    const QString ending = suffix + QLatin1String(Extension);
    int room = MaxPath - folder.size() - 1 - ending.size();
    // A long Chinese name fits 255 UTF-16 units but not 255 bytes of UTF-8.
    while (room > 1 && nameLength(cut(safeBase, room) + ending) > MaxFileName)
        --room;
    QString base = safeBase;
    if (base.size() > room) {
        // Cutting may expose a trailing space or dot, or leave a device name.
        base = finished(cut(safeBase, room));
        if (base.size() > room)
            base = cut(base, room);
    }
    return folder + QLatin1Char('/') + base + ending;
}

QString extendedLengthPath(const QString &absolutePath)
{
    QString path = absolutePath;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (path.startsWith(QLatin1String("\\\\?\\")))
        return path;
    if (path.startsWith(QLatin1String("\\\\")))
        return QLatin1String("\\\\?\\UNC\\") + path.mid(2);
    return QLatin1String("\\\\?\\") + path;
}

}  // namespace RingtoneFile
