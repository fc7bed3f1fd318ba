#pragma once
// The Windows port probe, on its own and free of Qt: it builds by itself with
// any Windows compiler, which is how the Wine test runs it.
namespace kestran {
namespace comprobe {

// Opens the device `name` ("\\.\COM3") for a query only (no read or write
// access, shared for reading and writing, no inheritance) and closes the
// handle at once. True when the open succeeded.
bool deviceAnswers(const char *name);

// The same open: 0 when it succeeded, else the system's error code for it
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED for a port another program holds).
unsigned long deviceAnswerCode(const char *name);

// deviceAnswers for "\\.\COM<port>", port in decimal; false outside 1..255.
bool comPortAnswers(short port);

} // namespace comprobe
} // namespace kestran
