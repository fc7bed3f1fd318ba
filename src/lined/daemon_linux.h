#pragma once
// What kestran-lined needs of the system as a daemon: its signals as a
// descriptor the event loop watches, the systemd notify protocol, and room
// for many connections.
#include <QString>

namespace kestran::lined::daemon {

// Blocks SIGINT, SIGTERM, SIGHUP and SIGUSR1 (before any thread starts) and
// ignores SIGPIPE; their arrival is then read from signalDescriptor().
void takeSignals();
int signalDescriptor();
// The next signal that came, 0 when none waits.
int nextSignal(int fd);
bool isStatusSignal(int signal);   // SIGUSR1: the status to the log

// Raises the limit of open files to what the system allows.
void allowManyFiles();

// Tells systemd (where it asked, with NOTIFY_SOCKET) that the service is ready or stopping.
void notifyReady(const QString &status);
void notifyStopping();

} // namespace kestran::lined::daemon
