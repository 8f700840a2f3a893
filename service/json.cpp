#include "service/json.h"

#include <QSet>
#include <QVector>
#include <cstring>

namespace {

// Moves `p` past the string whose opening quote it points at and, when `text`
// is given, decodes the string into it. False when the string is malformed
// (Qt's parser reports that itself).
bool readString(const char *&p, const char *end, QString *text)
{
    QByteArray run;
    for (++p; p < end; ++p) {
        const char c = *p;
        if (c == '"') {
            ++p;
            if (text)
                text->append(QString::fromUtf8(run));
            return true;
        }
        if (c != '\\') {
            if (text)
                run.append(c);
            continue;
        }
        if (++p == end)
            return false;
        if (!text)
            continue;
        const char escape = *p;
        if (escape != 'u') {
            static const char plain[] = "\"\\/bfnrt";
            static const char meant[] = "\"\\/\b\f\n\r\t";
            const char *at = strchr(plain, escape);
            if (!at || !escape)
                return false;
            run.append(meant[at - plain]);
            continue;
        }
        if (end - p < 5)
            return false;
        bool ok = false;
        const ushort unit = QByteArray(p + 1, 4).toUShort(&ok, 16);
        if (!ok)
            return false;
        // Escaped units join the text as they are, so that an escaped name
        // and the same name written out compare equal.
        text->append(QString::fromUtf8(run));
        run.clear();
        text->append(QChar(unit));
        p += 4;
    }
    return false;
}

// The first member name that one object of the body gives twice; a null
// string when there is none, or when the body is too broken to tell.
QString repeatedName(const QByteArray &body)
{
    struct Level
    {
        bool object;
        bool nameNext;
        QSet<QString> names;
    };
    QVector<Level> levels;
    const char *p = body.constData();
    const char *const end = p + body.size();
    while (p < end) {
        switch (*p) {
        case '"': {
            const bool isName = !levels.isEmpty() && levels.last().object && levels.last().nameNext;
            QString name;
            if (!readString(p, end, isName ? &name : nullptr))
                return QString();
            if (isName) {
                Level &level = levels.last();
                if (level.names.contains(name))
                    return name;
                level.names.insert(name);
                level.nameNext = false;
            }
            continue;
        }
        case '{':
            levels.append({true, true, {}});
            break;
        case '[':
            levels.append({false, false, {}});
            break;
        case '}':
        case ']':
            if (levels.isEmpty())
                return QString();
            levels.removeLast();
            break;
        case ',':
            if (!levels.isEmpty() && levels.last().object)
                levels.last().nameNext = true;
            break;
        default:
            break;
        }
        ++p;
    }
    return QString();
}

}  // namespace

namespace Service {

QJsonDocument parseJson(const QByteArray &body, QString *error)
{
    const QString repeated = repeatedName(body);
    if (!repeated.isNull()) {
        *error = QStringLiteral("member \"%1\" given twice").arg(repeated);
        return QJsonDocument();
    }
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = parse.errorString();
        return QJsonDocument();
    }
    error->clear();
    return document;
}

}  // namespace Service
