#pragma once

class QUrl;

// True for an http or https address with a host (the scheme in any case): the
// only kind of address from the service that the program fetches or hands to
// the desktop. Anything else is refused: a "file:" address could start a local
// program, or copy whatever it names on this PC into the iTunes folder.
bool isWebAddress(const QUrl &url);
