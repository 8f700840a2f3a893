#pragma once

#include <QDir>
#include <QMap>
#include <QString>

// Where iTunes is installed (the uninstall entry whose DisplayName is exactly
// "iTunes"), keyed by registry value name: DisplayName, DisplayVersion,
// InstallLocation, InstallDate, URLUpdateInfo, HelpLink. Empty when iTunes is
// not installed. On Windows this reads the 64-bit uninstall registry; elsewhere
// iTunes can only live inside Wine, so the default Wine prefix's system.reg is
// read instead.
QMap<QString, QString> iTunesInstallInfo();

// Whether the user's music location has an "iTunes" folder.
bool iTunesMusicDirExists();

// The iTunes automatically-add folder named by the library's "Music Folder",
// or QDir("") (path ".") when there is none.
QDir autoAddFolder();
