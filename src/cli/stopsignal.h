#pragma once
// Ctrl-C and termination requests while a subcommand talks to the line: the
// request is noted and handed to the event loop, so that the work stops
// between two frames instead of the program dying mid-frame. On Linux these are
// SIGINT and SIGTERM; on Windows the console's Ctrl-C, Ctrl-Break and close.
#include <functional>

class QObject;

namespace kestran::cli::stopsignal {

// Starts catching stop requests (once; later calls do nothing).
void catchStops();
// The signal number of the first stop request (SIGINT, SIGTERM), 0 before one.
int caught();
// Calls `onStop` in the event loop, in `context`'s thread, at each stop request
// from now on, until unwatch() or until `context` goes.
void watch(QObject *context, std::function<void()> onStop);
void unwatch();

} // namespace kestran::cli::stopsignal
