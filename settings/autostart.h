#pragma once

#include <QObject>

// Whether the desktop session starts the program when the user logs in: the
// current user's Run value "Belfry" on Windows (the installer writes the same
// one), an XDG autostart entry elsewhere. Both name this very executable.
// An install for everyone may start it for every user instead: the machine's
// Run value, or a system-wide autostart entry that a user's own one can hide.
class Autostart : public QObject
{
    Q_OBJECT
public:
    explicit Autostart(QObject *parent = nullptr);

    bool isOn() const;
    // On for every user in a way this user cannot turn off.
    bool isForEveryone() const;

public slots:
    // A change the system refuses is only logged: isOn() tells.
    void set(bool on);
};
