#pragma once

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
inline constexpr char DevicesGroup[] = "DEVICES";

}  // namespace Belfry
