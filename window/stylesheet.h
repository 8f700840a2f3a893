#pragma once

#include <QString>

// The application-wide style sheet. Widgets get their look from it through
// their object names; start-up installs it on the whole application.
QString applicationStyleSheet();

// The style sheet asks for NSimSun, which only Windows has, and not every
// Windows (nor Wine). Where it is missing a monospaced CJK face with the same
// half-width Latin letters stands in, so the fixed-width tutorial texts wrap
// where they do with NSimSun (a wider Latin face leaves a character alone on
// a line of the third page).
void installFontSubstitutes();
