#pragma once

#include <QObject>

// Whether the desktop session starts the program when the user logs in: the
// current user's Run value "Belfry" on Windows (the installer writes the same
// one), an XDG autostart entry elsewhere. Both name this very executable.
class Autostart : public QObject
{
    Q_OBJECT
public:
    explicit Autostart(QObject *parent = nullptr);

    bool isOn() const;

public slots:
    // A change the system refuses is only logged: isOn() tells.
    void set(bool on);
};
