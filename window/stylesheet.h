#pragma once

#include <QString>

// The application-wide style sheet. Widgets get their look from it through
// their object names; start-up installs it on the whole application.
//
// Its texts name a Chinese face with proportional Latin letters that every
// Windows since Vista has, then one that Debian and Wine have: a fallback
// of the system's own choice can be a monospaced, a serif or a symbol face
// whose lines are far taller than the fixed places of the texts (Wine's is).
QString applicationStyleSheet();
