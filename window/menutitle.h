#pragma once

#include <QString>

// A name from the service shown as a menu title: Qt takes "&" there as the
// mark of a keyboard shortcut, so "Tom & Jerry" would lose its ampersand.
inline QString menuTitle(QString name)
{
    return name.replace(QLatin1Char('&'), QLatin1String("&&"));
}
