#pragma once

#include <QString>

// Turning a ringtone's display name, as the service sends it, into a file
// name that stays inside the target folder and that Windows accepts.
namespace RingtoneFile {

inline constexpr char Extension[] = ".m4r";
// Used when nothing of the name is left.
inline constexpr char FallbackName[] = "铃声";
// Windows' classic path limit, counted over the whole absolute path.
inline constexpr int MaxPath = 260;
// The longest file name most file systems take: 255 UTF-16 units on NTFS,
// 255 bytes on the Unix file systems that hold a Wine prefix. Names are kept
// within the bytes, so that they fit both.
inline constexpr int MaxFileName = 255;

// The display name made safe as a base name: path separators, characters
// that Windows forbids and control characters become "_", leading and
// trailing spaces and trailing dots go, device names get a "_" prefix.
// Everything else (Chinese included) stays. Never empty.
QString safeBaseName(const QString &name);

// The path for try `counter` of the numbering: "folder/base.m4r" for -1,
// "folder/base_N.m4r" for N >= 0. The base is shortened so that the whole
// path keeps within MaxPath characters where the folder leaves room for it,
// and the file name within MaxFileName bytes of UTF-8.
QString targetPath(const QString &folder, const QString &safeBase, int counter);

// An absolute path in the form that Windows' file functions take past
// MAX_PATH: "C:/a/b" becomes "\\?\C:\a\b", "//server/share/a" becomes
// "\\?\UNC\server\share\a". A path already in that form stays as it is.
// targetPath() keeps within MaxPath characters, but the plain form allows one
// fewer (the limit counts the terminating NUL), and the folder alone may be
// longer.
QString extendedLengthPath(const QString &absolutePath);

}  // namespace RingtoneFile
