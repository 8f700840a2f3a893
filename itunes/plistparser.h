#pragma once

#include <QObject>
#include <QVariant>

class QDomElement;
class QDomNode;
class QIODevice;

// Reads Apple XML property lists (the format of the iTunes library file) into
// Qt variants: dict -> QVariantMap, array -> QVariantList, string -> QString,
// data -> QByteArray, integer -> int, real -> float, true/false -> bool,
// date -> QDateTime. Only static members; never instantiated.
class PListParser : public QObject
{
    Q_OBJECT

public:
    // The value of the root element's first child, normally a dict. The device
    // must already be open; it is neither opened, closed nor rewound. A
    // document that does not parse gives an empty QVariantMap.
    static QVariant read(QIODevice *device);

    // The value that read() would give for `key` in the root dict, converted by
    // the same rules, without building the rest of the document: the file is
    // streamed and the reader stops as soon as it has the value, so cost no
    // longer grows with what follows the key (an iTunes library lists every
    // track after its "Music Folder"). Damage after the key goes unnoticed;
    // damage before it fails like read() does, with an invalid QVariant.
    // Invalid also when the root is not a dict or has no such key. When a key
    // occurs twice in the root dict, the first occurrence is taken.
    static QVariant value(QIODevice *device, const QString &key);

private:
    PListParser() = delete;

    static QVariant readElement(const QDomElement &element);
    static QVariantMap readDict(const QDomNode &node);
    static QVariantList readArray(const QDomNode &node);
};
