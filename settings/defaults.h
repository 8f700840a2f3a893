#pragma once

#include <QLatin1String>

// Program-wide constants. The addresses are the maker's own; everything that
// talks to the service reads them from the settings, where these are only the
// defaults written on a version change.
namespace Belfry {

inline constexpr char Organization[] = "Corvale";
inline constexpr char OrganizationDomain[] = "corvale.example";
inline constexpr char Application[] = "Belfry";
inline constexpr char Version[] = "1.0.1";
// Name shown in window titles.
inline constexpr char DisplayName[] = "Carillo";

inline constexpr char HomePage[] = "http://www.corvale.example/";
inline constexpr char ServiceHost[] = "http://service.corvale.example";
inline constexpr char RingtoneHost[] = "http://ringtone.corvale.example";
inline constexpr char HelpPage[] = "http://www.corvale.example/help/ringtone.html";
// Encoded by the pairing page when there is no client id to show.
inline constexpr char QrPlaceholder[] = "http://www.corvale.example/tintabell";
// The Tunes dialog opens only links that begin with "http://".
inline constexpr char ITunesDownloadPage[] = "http://www.apple.com/itunes/download/";

// Qt's one-argument QLatin1String counts with strlen, which only GCC folds
// at compile time; the fuzzers are built with clang.
template<int N> constexpr QLatin1String latin1(const char (&text)[N])
{
    return QLatin1String(text, N - 1);
}

// Settings keys, spelled as the files already out there and the service spell
// them: the service rewrites existing keys by name.
inline constexpr QLatin1String DevicesGroup = latin1("DEVICES");
inline constexpr QLatin1String ClientIdKey = latin1("PCID");
inline constexpr QLatin1String VersionKey = latin1("Version");
inline constexpr QLatin1String ApplicationKey = latin1("Application");
inline constexpr QLatin1String OrganizationKey = latin1("Orgination");
inline constexpr QLatin1String PulseKey = latin1("Pulse");
inline constexpr QLatin1String HomePageKey = latin1("HomePage");
inline constexpr QLatin1String AccessKey = latin1("Access");
// One key per value of iTunes' uninstall entry, and the folder found for it.
inline constexpr QLatin1String ITunesGroup = latin1("iTunes");
inline constexpr QLatin1String InstallLocationKey = latin1("iTunes/InstallLocation");
inline constexpr QLatin1String ITunesFolderKey = latin1("iTunes/iTunesFolder");
inline constexpr QLatin1String ServiceHostKey = latin1("Server/Host");
inline constexpr QLatin1String RingtoneHostKey = latin1("Server/Ringtone");
inline constexpr QLatin1String UpdateVersionKey = latin1("Update/Version");
inline constexpr QLatin1String UpdateDownloadKey = latin1("Update/Download");
inline constexpr QLatin1String UpdateAccessKey = latin1("Update/Access");
// The ids of the ringtones stored in iTunes' folder, oldest first.
inline constexpr QLatin1String StoredGroup = latin1("Ringtones");
inline constexpr QLatin1String StoredKey = latin1("Ringtones/Stored");

// How many stored ringtones are remembered. The service lists a ringtone
// only until a beat confirms it, so only the latest few can come again;
// a few hundred leave room for a long sync.
inline constexpr int RememberedRingtones = 300;

}  // namespace Belfry
