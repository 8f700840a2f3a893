#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <cstdint>
#include <cstring>

#include "fuzz/check.h"

// Shared by the libFuzzer targets: one quiet application for the whole run,
// the fuzzed bytes as Qt types, and FUZZ_CHECK for Qt texts.

namespace Fuzz {

// The application that Qt's network and event classes expect, with the
// program's diagnostics (one per hostile input) silenced; qFatal still aborts.
inline void setUp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = nullptr;
    if (app)
        return;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    app = new QCoreApplication(argc, argv);
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

[[noreturn]] inline void fail(const char *what, const QString &detail)
{
    fail(what, detail.toStdString());
}

}  // namespace Fuzz
