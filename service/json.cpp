#include "service/json.h"

#include <QSet>
#include <QVector>
#include <cstring>

namespace {

// Moves `p` past the string whose opening quote it points at and, when `text`
// is given, decodes the string into it. False when the string is malformed,
// including an escape that JSON does not have: Qt's parser would take that as
// the character itself, and a repeat hidden behind it would reach Qt.
bool readString(const char *&p, const char *end, QString *text)
{
    static const char plain[] = "\"\\/bfnrtu";
    static const char meant[] = "\"\\/\b\f\n\r\t";
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
        const char escape = *p;
        const char *at = escape ? strchr(plain, escape) : nullptr;
        if (!at)
            return false;
        if (!text)
            continue;
        if (escape != 'u') {
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

// Why the body must not reach Qt's parser: a member name that one object gives
// twice, or a malformed string. Null when neither; a body broken otherwise is
// left to Qt, which refuses it before it could keep anything twice.
QString namesFault(const QByteArray &body)
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
                return QStringLiteral("malformed string");
            if (isName) {
                Level &level = levels.last();
                if (level.names.contains(name))
                    return QStringLiteral("member \"%1\" given twice").arg(name);
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
    const QString fault = namesFault(body);
    if (!fault.isNull()) {
        *error = fault;
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
