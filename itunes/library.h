#pragma once

#include <QString>

// Helpers behind autoAddFolder(), exposed for tests.

// The local path named by the library's "Music Folder" value, a file URL such
// as "file://localhost/C:/Users/u/Music/iTunes/iTunes%20Media/". Off Windows a
// Windows drive path is taken through Wine (see wineDrivePath()).
QString musicFolderPath(const QString &musicFolderUrl);

// Off Windows iTunes runs inside Wine and its library names Windows drive
// paths ("C:/..." or, after the URL conversion, "/C:/..."). Such a path is
// resolved through the default prefix's drive link, home + "/.wine/dosdevices/c:"
// (drive letter in lower case), followed by the rest of the path. Any other
// path is returned as it is.
QString wineDrivePath(const QString &path, const QString &home);
