#pragma once
// Text to standard output or standard error. On Linux the bytes go out as
// they are (UTF-8). On Windows a console gets the text as wide characters,
// right whatever its code page; a pipe or a file gets UTF-8, as a script
// reading it expects and as on Linux.
#include <QString>

#include <cstdio>

namespace kestran::cli {

// Writes TEXT to STREAM (stdout or stderr) and flushes it; false when the
// write failed (errno tells why where the system says).
bool writeStdText(std::FILE *stream, const QString &text);

} // namespace kestran::cli
