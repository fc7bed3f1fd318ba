#pragma once
// The daemon's log: one line per event on standard error. Under systemd,
// whose journal reads standard error, each line carries its priority as a
// "<N>" prefix; elsewhere the program's name comes first.
#include <QString>

namespace kestran::lined {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

void logLine(LogLevel level, const QString &text);
// Silences the log (in-process tests that make faults on purpose).
void setLogQuiet(bool quiet);

} // namespace kestran::lined
