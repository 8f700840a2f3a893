# Sourced: writes the library file that Windows iTunes leaves once started,
# with the media folder in the Music folder of Windows user $2.
#   itunes_library FILE USER
itunes_library() {
  mkdir -p "$(dirname "$1")"
  cat >"$1" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Major Version</key><integer>1</integer>
	<key>Minor Version</key><integer>1</integer>
	<key>Application Version</key><string>12.13.2.3</string>
	<key>Music Folder</key><string>file://localhost/C:/users/$2/Music/iTunes/iTunes%20Media/</string>
	<key>Tracks</key>
	<dict>
	</dict>
	<key>Playlists</key>
	<array>
	</array>
</dict>
</plist>
PLIST
}
