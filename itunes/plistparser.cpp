#include "itunes/plistparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QDomDocument>
#include <QDomElement>
#include <QIODevice>
#include <QXmlStreamReader>

namespace {

// One table of element kinds for both the DOM and the streaming path, so the
// two can never disagree about what a tag means.
enum class Kind { Dict, Array, String, Data, Integer, Real, True, False, Date, Unknown };

Kind kindOf(const QStringRef &tag)
{
    if (tag == QLatin1String("dict"))
        return Kind::Dict;
    if (tag == QLatin1String("array"))
        return Kind::Array;
    if (tag == QLatin1String("string"))
        return Kind::String;
    if (tag == QLatin1String("data"))
        return Kind::Data;
    if (tag == QLatin1String("integer"))
        return Kind::Integer;
    if (tag == QLatin1String("real"))
        return Kind::Real;
    if (tag == QLatin1String("true"))
        return Kind::True;
    if (tag == QLatin1String("false"))
        return Kind::False;
    if (tag == QLatin1String("date"))
        return Kind::Date;
    return Kind::Unknown;
}

Kind kindOf(const QString &tag)
{
    return kindOf(QStringRef(&tag));
}

// Everything but dict and array: the value depends on the element's text only.
QVariant scalarValue(Kind kind, const QString &tag, const QString &text)
{
    switch (kind) {
    case Kind::String:
        return text;
    case Kind::Data:
        // fromBase64 skips line breaks and indentation inside long data blocks.
        return QByteArray::fromBase64(text.toUtf8());
    case Kind::Integer:
        // Out of range or not a number: toInt gives 0, which is what we keep.
        return text.toInt(nullptr, 10);
    case Kind::Real:
        return text.toFloat();
    case Kind::True:
        return true;
    case Kind::False:
        return false;
    case Kind::Date:
        return QDateTime::fromString(text, Qt::ISODate);
    case Kind::Dict:
    case Kind::Array:
    case Kind::Unknown:
        break;
    }
    qDebug().noquote() << QStringLiteral("PListParser Warning: Invalid tag found: %1 %2").arg(tag, text);
    return QVariant();
}

void warnParseError(const QString &message, qint64 line, qint64 column)
{
    qDebug().noquote() << QStringLiteral("PListParser Warning: Could not parse PList file!");
    qDebug().noquote() << QStringLiteral("Error message: ") + message;
    qDebug().noquote() << QStringLiteral("Error line: ") + QString::number(line);
    qDebug().noquote() << QStringLiteral("Error column: ") + QString::number(column);
}

void checkVersion(const QString &version)
{
    if (version != QLatin1String("1.0"))
        qDebug().noquote() << QStringLiteral(
            "PListParser Warning: plist is using an unknown format version, parsing might fail unexpectedly");
}

// --- Streaming path -------------------------------------------------------

// Real library files carry stray control characters and invalid UTF-8 in
// track names. The DOM reader takes them in its stride, QXmlStreamReader stops
// at the first one (an invalid byte anywhere in the block it decodes, even
// after the wanted key). This filter hands the stream reader a UTF-8 text in
// which every invalid sequence, NUL, C0 control other than tab, line feed and
// carriage return, U+FFFE and U+FFFF has become U+FFFD, so both readers agree
// on which files they can read. Files that are not UTF-8 (a UTF-16/32 byte
// order mark or another declared encoding) pass unchanged.
class Utf8Repair : public QIODevice
{
public:
    explicit Utf8Repair(QIODevice *source)
        : source(source)
    {
        const QByteArray head = source->peek(256);
        passThrough = head.startsWith("\xfe\xff") || head.startsWith("\xff\xfe")
            || (head.size() > 1 && (head[0] == 0 || head[1] == 0)) || declaresOtherEncoding(head);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    bool atEnd() const override { return out.isEmpty() && raw.isEmpty() && source->atEnd(); }
    qint64 bytesAvailable() const override { return out.size() + raw.size() + source->bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (passThrough)
            return source->read(data, maxSize);
        while (out.size() < maxSize) {
            const QByteArray chunk = source->read(16384);
            raw += chunk;
            repair(source->atEnd());
            if (chunk.isEmpty())
                break;
        }
        const qint64 n = qMin<qint64>(maxSize, out.size());
        memcpy(data, out.constData(), size_t(n));
        out.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    static bool declaresOtherEncoding(const QByteArray &head)
    {
        if (!head.startsWith("<?xml"))
            return false;
        const QByteArray declaration = head.left(head.indexOf("?>")).toLower();
        const int at = declaration.indexOf("encoding");
        if (at < 0)
            return false;
        const QByteArray rest = declaration.mid(at + 8).trimmed();
        return !(rest.startsWith("=") && rest.mid(1).trimmed().mid(1).startsWith("utf-8"));
    }

    // Moves the complete part of `raw` to `out`; an incomplete sequence at the
    // end waits for the next chunk unless the source is exhausted.
    void repair(bool end)
    {
        static const char Replacement[] = "\xef\xbf\xbd";
        const auto *p = reinterpret_cast<const uchar *>(raw.constData());
        const int size = raw.size();
        int i = 0;
        while (i < size) {
            const uchar c = p[i];
            if (c < 0x80) {
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += Replacement;
                else
                    out += char(c);
                ++i;
                continue;
            }
            int length = 0;
            uchar low = 0x80, high = 0xbf;
            if (c >= 0xc2 && c <= 0xdf) {
                length = 2;
            } else if (c >= 0xe0 && c <= 0xef) {
                length = 3;
                if (c == 0xe0)
                    low = 0xa0;
                else if (c == 0xed)
                    high = 0x9f;
            } else if (c >= 0xf0 && c <= 0xf4) {
                length = 4;
                if (c == 0xf0)
                    low = 0x90;
                else if (c == 0xf4)
                    high = 0x8f;
            }
            if (length == 0) {
                out += Replacement;
                ++i;
                continue;
            }
            int valid = 1;
            while (valid < length && i + valid < size) {
                const uchar next = p[i + valid];
                if (valid == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xbf))
                    break;
                ++valid;
            }
            if (valid < length && i + valid == size && !end)
                break;  // wait for the rest of the sequence
            if (valid < length) {
                out += Replacement;
                i += valid;
                continue;
            }
            // U+FFFE and U+FFFF are no XML characters either.
            if (c == 0xef && p[i + 1] == 0xbf && p[i + 2] >= 0xbe)
                out += Replacement;
            else
                out.append(raw.constData() + i, length);
            i += length;
        }
        raw.remove(0, i);
    }

    QIODevice *source;
    bool passThrough = false;
    QByteArray raw;
    QByteArray out;
};

// Real property lists nest a handful of levels. This reader recurses once per
// level, so a file nested some ten thousand deep would overflow the stack.
constexpr int MaxNesting = 512;

// Converts the element whose start tag the reader has just read and leaves the
// reader on its end tag. On a reader error the result is meaningless; callers
// check hasError().
QVariant streamElement(QXmlStreamReader &xml, int depth = 0)
{
    if (depth > MaxNesting) {
        xml.raiseError(QStringLiteral("Property list nested more than %1 levels deep").arg(MaxNesting));
        return QVariant();
    }
    const QString tag = xml.qualifiedName().toString();
    const Kind kind = kindOf(tag);

    if (kind == Kind::Dict) {
        QVariantMap map;
        QString key;
        while (xml.readNextStartElement()) {
            if (xml.qualifiedName() == QLatin1String("key")) {
                key = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            } else if (!key.isEmpty()) {
                map.insert(key, streamElement(xml, depth + 1));
            } else {
                xml.skipCurrentElement();
            }
        }
        return map;
    }
    if (kind == Kind::Array) {
        QVariantList list;
        while (xml.readNextStartElement())
            list.append(streamElement(xml, depth + 1));
        return list;
    }
    return scalarValue(kind, tag, xml.readElementText(QXmlStreamReader::IncludeChildElements));
}

// Moves to the first child node of the root element, as the DOM would report
// it: whitespace is not a node, but comments, processing instructions and other
// text are. Returns true when that node is a "dict" start tag.
bool enterRootDict(QXmlStreamReader &xml)
{
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            return xml.qualifiedName() == QLatin1String("dict");
        case QXmlStreamReader::Characters:
            if (xml.isWhitespace())
                continue;
            return false;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EndElement:
        case QXmlStreamReader::EntityReference:
            return false;
        default:
            continue;
        }
    }
    return false;
}

}  // namespace

QVariant PListParser::read(QIODevice *device)
{
    QDomDocument doc;
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(device, false, &message, &line, &column)) {
        warnParseError(message, line, column);
        return QVariantMap();
    }

    const QDomElement root = doc.documentElement();
    checkVersion(root.attribute(QStringLiteral("version"), QStringLiteral("1.0")));
    return readElement(root.firstChild().toElement());
}

QVariant PListParser::value(QIODevice *device, const QString &key)
{
    Utf8Repair repaired(device);
    QXmlStreamReader xml(&repaired);
    xml.setNamespaceProcessing(false);

    QVariant result;
    bool found = false;

    if (xml.readNextStartElement()) {
        checkVersion(xml.attributes().hasAttribute(QLatin1String("version"))
                ? xml.attributes().value(QLatin1String("version")).toString()
                : QStringLiteral("1.0"));
        if (enterRootDict(xml)) {
            QString current;
            while (xml.readNextStartElement()) {
                if (xml.qualifiedName() == QLatin1String("key")) {
                    // The value is complete once the next key begins.
                    if (found)
                        break;
                    current = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                } else if (!current.isEmpty() && current == key) {
                    // A second value right after the same key replaces the first,
                    // as in readDict.
                    QVariant v = streamElement(xml);
                    if (xml.hasError())
                        break;
                    result = v;
                    found = true;
                } else {
                    // Subtrees of other keys (the whole track list among them)
                    // are passed over without building any value.
                    xml.skipCurrentElement();
                }
            }
        }
    }

    if (found)
        return result;
    // An empty or non-XML file ends up here too: the reader reports a missing
    // root element as an error.
    if (xml.hasError())
        warnParseError(xml.errorString(), xml.lineNumber(), xml.columnNumber());
    return QVariant();
}

QVariant PListParser::readElement(const QDomElement &element)
{
    const QString tag = element.tagName();
    switch (const Kind kind = kindOf(tag)) {
    case Kind::Dict:
        return readDict(element);
    case Kind::Array:
        return readArray(element);
    default:
        return scalarValue(kind, tag, element.text());
    }
}

QVariantMap PListParser::readDict(const QDomNode &node)
{
    QVariantMap map;
    QString key;
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (!child.isElement())
            continue;
        const QDomElement element = child.toElement();
        if (element.tagName() == QLatin1String("key"))
            key = element.text();
        else if (!key.isEmpty())
            map.insert(key, readElement(element));
    }
    return map;
}

QVariantList PListParser::readArray(const QDomNode &node)
{
    QVariantList list;
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (child.isElement())
            list.append(readElement(child.toElement()));
    }
    return list;
}
