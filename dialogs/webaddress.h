#pragma once

class QUrl;

// True for an http or https address with a host: the only kind of address
// that the program hands to the desktop when it came from the service.
// Anything else (a "file:" address could start a local program) is refused.
bool isWebAddress(const QUrl &url);
