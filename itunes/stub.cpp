#include "itunes/itunes.h"
QMap<QString, QString> iTunesInstallInfo() { return {}; }
bool iTunesMusicDirExists() { return false; }
QDir autoAddFolder() { return QDir(QString()); }
