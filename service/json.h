#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

namespace Service {

// Parses the JSON body of a service answer. On failure the document is null
// and `error` says why; on success `error` is empty.
//
// An object that names a member twice is refused before Qt's parser sees it:
// Qt 5 keeps the last of the two and loses the memory of an object or array
// that it drops, so a server repeating a member in every answer would make the
// program grow for as long as it runs. Names are meant to be unique anyway, so
// such an answer has no meaning to rely on.
QJsonDocument parseJson(const QByteArray &body, QString *error);

}  // namespace Service
