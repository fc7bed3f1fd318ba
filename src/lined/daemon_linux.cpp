#include "daemon_linux.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace kestran::lined::daemon {

namespace {
sigset_t handledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&set, sig);
    return set;
}
} // namespace

void takeSignals()
{
    const sigset_t set = handledSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int signalDescriptor()
{
    const sigset_t set = handledSignals();
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int nextSignal(int fd)
{
    signalfd_siginfo info;
    return ::read(fd, &info, sizeof info) == ssize_t(sizeof info) ? int(info.ssi_signo) : 0;
}

bool isStatusSignal(int signal) { return signal == SIGUSR1; }

void allowManyFiles()
{
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

void notifyReady(const QString &status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status.toUtf8()).constData());
}

void notifyStopping() { sd_notify(0, "STOPPING=1"); }

} // namespace kestran::lined::daemon
