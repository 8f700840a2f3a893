#pragma once

#include <QMap>
#include <QString>

class QIODevice;

// The iTunes uninstall entry as Wine keeps it: Wine stores the machine
// registry of a prefix as text (system.reg), and iTunes installed in that
// prefix registers itself there like on Windows. The same rules apply as to
// the Windows registry: the 32-bit view (Wow6432Node) and then the 64-bit
// one, DisplayName exactly "iTunes", later entries in Wine's enumeration
// order overwrite earlier ones, values of more than 4096 bytes (as UTF-16
// with their NUL) are left out.

// Reads system.reg text from an open device. Malformed lines are skipped.
QMap<QString, QString> parseWineUninstall(QIODevice *device);

// Reads the system.reg file at path; empty when it is missing or unreadable.
QMap<QString, QString> readWineUninstall(const QString &systemRegPath);
