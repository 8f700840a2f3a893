#pragma once

// The MPEG-4 walker: whether a file is a ringtone the PC can play, read box
// by box without trusting any length it holds.

#include <string>

namespace belfry {

// An MPEG-4 audio file: an "ftyp" box with an audio brand first, then boxes
// that fill the file exactly; one movie box with exactly one sound track and
// no video track; the movie header, the sound track's media header and its
// samples lasting at most MaxRingtoneSeconds (the headers more than nothing);
// the samples inside the file's media data, in order, and all but at most
// MaxRingtoneOtherBytes of the file. Empty when it is one, else why not.
std::string checkRingtoneFile(const std::string &bytes);

}  // namespace belfry
