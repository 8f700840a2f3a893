#pragma once

#include <QString>

class QLocalServer;
class QLocalSocket;
class QObject;

// The single-instance guard: a local socket (a named pipe on Windows) named by
// the client id, which is per user. A later start sends nothing and waits to be
// dropped; the installer, which has to replace the program's files, writes
// QuitRequest and goes.

// Long enough for a busy running instance to answer, short enough that a
// hung one cannot keep a new start waiting forever.
inline constexpr int SocketTimeout = 30000;

inline constexpr char QuitRequest[] = "quit";

// How long an accepted connection may take to say it asks to quit. A writer
// writes as it connects; a later start says nothing and waits this long.
inline constexpr int RequestTimeout = 250;

// Whether a running instance listens under `name`; it comes forward then.
bool anotherInstanceAnswers(const QString &name);

// The client id as a socket name that names no file.
QString serverName(const QString &pcid);

// Listens under `name` as the running instance, for this user only.
QLocalServer *listenAsRunningInstance(const QString &name, QObject *parent);

// Whether an accepted connection asks the running instance to quit.
bool asksToQuit(QLocalSocket *socket);
