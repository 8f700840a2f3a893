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

inline constexpr char LibraryFileName[] = "iTunes Music Library.xml";

// Settings keys, spelled as the files already out there and the service spell
// them: the service rewrites existing keys by name.
inline constexpr QLatin1String DevicesGroup("DEVICES");
inline constexpr QLatin1String ClientIdKey("PCID");
inline constexpr QLatin1String VersionKey("Version");
inline constexpr QLatin1String ApplicationKey("Application");
inline constexpr QLatin1String OrganizationKey("Orgination");
inline constexpr QLatin1String PulseKey("Pulse");
inline constexpr QLatin1String HomePageKey("HomePage");
inline constexpr QLatin1String AccessKey("Access");
// One key per value of iTunes' uninstall entry, and the folder found for it.
inline constexpr QLatin1String ITunesGroup("iTunes");
inline constexpr QLatin1String InstallLocationKey("iTunes/InstallLocation");
inline constexpr QLatin1String ITunesFolderKey("iTunes/iTunesFolder");
inline constexpr QLatin1String ServiceHostKey("Server/Host");
inline constexpr QLatin1String RingtoneHostKey("Server/Ringtone");
inline constexpr QLatin1String UpdateVersionKey("Update/Version");
inline constexpr QLatin1String UpdateDownloadKey("Update/Download");
inline constexpr QLatin1String UpdateAccessKey("Update/Access");

}  // namespace Belfry
