#pragma once

#include <QString>

// The application-wide style sheet. Widgets get their look from it through
// their object names; start-up installs it on the whole application.
QString applicationStyleSheet();
