#pragma once

#include <QString>

class QLocalServer;
class QObject;

// The single-instance guard: a local socket (a named pipe on Windows) named by
// the client id, which is per user.

// Long enough for a busy running instance to answer, short enough that a
// hung one cannot keep a new start waiting forever.
inline constexpr int SocketTimeout = 30000;

// Whether a running instance listens under `name`; it comes forward then.
bool anotherInstanceAnswers(const QString &name);

// The client id as a socket name that names no file.
QString serverName(const QString &pcid);

// Listens under `name` as the running instance, for this user only.
QLocalServer *listenAsRunningInstance(const QString &name, QObject *parent);
