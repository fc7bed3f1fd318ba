// Start-up: from launching the process to the window's first frame, and the
// peak memory of getting there, beside a bare Qt window (bare_window) as the floor.
//
// The tool is started the way the program starts it (application object,
// Form1, Form_Load with the full listing of COM1..COM255, show), by this very
// program run as "bench_startup --child": it prints the time of its first
// painted frame and ends. Each run forks and execs a fresh process; the time is
// CLOCK_MONOTONIC from just before the spawn to the first frame, the memory is
// the child's ru_maxrss from wait4. The two programs take turns, after one
// unmeasured warm-up run each. A third program, the bare window with one line
// of text, shows how much of the difference is the font database that any
// window showing text has to set up. A fourth, that labelled window also
// loading Qt Network and Qt Serial Port (bare_window_linked), shows how much is
// the loading of the libraries the tool's serial lines need (Qt Network brings
// Kerberos, libproxy and the resolver along).
//
//   bench_startup [runs]      (default 15; QT_QPA_PLATFORM=offscreen is assumed)
#include "firstpaint.h"
#include "form1.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

int child(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestran-setup"));
    kestran::Form1 window;
    FirstPaint watch;
    window.installEventFilter(&watch);
    window.load();
    window.show();
    return app.exec();
}

struct Run {
    double ms = 0;
    double peakMb = 0;
    bool ok = false;
};

Run launch(const std::string &path, const std::vector<std::string> &args)
{
    Run r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const long long t0 = monotonicNs();
    const int err = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        std::fprintf(stderr, "bench_startup: cannot start %s: %s\n", path.c_str(), std::strerror(err));
        close(fds[0]);
        return r;
    }
    std::string out;
    char buf[256];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    long long shown = 0;
    if (std::sscanf(out.c_str(), "shown %lld", &shown) == 1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        r.ms = double(shown - t0) / 1e6;
        r.peakMb = double(usage.ru_maxrss) / 1024.0;   // kB on Linux
        r.ok = true;
    } else {
        std::fprintf(stderr, "bench_startup: %s gave \"%s\" (status %d)\n", path.c_str(), out.c_str(), status);
    }
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return child(argc, argv);

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return 1;
    self[len] = 0;
    const std::string tool = self;
    const std::string bare = tool.substr(0, tool.rfind('/') + 1) + "bare_window";
    const std::string linked = bare + "_linked";
    for (const std::string &p : {bare, linked}) {
        if (access(p.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "bench_startup: %s is missing (build the bare_window and bare_window_linked targets)\n",
                         p.c_str());
            return 1;
        }
    }

    launch(bare, {});
    launch(bare, {"--label"});
    launch(linked, {"--label"});
    launch(tool, {"--child"});
    std::vector<double> bareMs, toolMs, bareMb, toolMb, textMs, textMb, linkedMs;
    for (int i = 0; i < runs; ++i) {
        const Run b = launch(bare, {});
        const Run l = launch(bare, {"--label"});
        const Run k = launch(linked, {"--label"});
        const Run t = launch(tool, {"--child"});
        if (!b.ok || !l.ok || !k.ok || !t.ok)
            return 1;
        linkedMs.push_back(k.ms);
        bareMs.push_back(b.ms);
        bareMb.push_back(b.peakMb);
        textMs.push_back(l.ms);
        textMb.push_back(l.peakMb);
        toolMs.push_back(t.ms);
        toolMb.push_back(t.peakMb);
    }

    const double bm = median(bareMs), tm = median(toolMs), lm = median(textMs);
    const double bp = median(bareMb), tp = median(toolMb), lp = median(textMb);
    std::printf("start-up, launch to first frame offscreen, median of %d runs (min .. max)\n", runs);
    std::printf("  bare window          %7.1f ms  (%.1f .. %.1f)   peak %6.1f MB\n", bm,
                *std::min_element(bareMs.begin(), bareMs.end()),
                *std::max_element(bareMs.begin(), bareMs.end()), bp);
    std::printf("  bare window + a label %6.1f ms  (%.1f .. %.1f)   peak %6.1f MB\n", lm,
                *std::min_element(textMs.begin(), textMs.end()),
                *std::max_element(textMs.begin(), textMs.end()), lp);
    const double km = median(linkedMs);
    std::printf("  + Qt Network, Serial Port %4.1f ms  (%.1f .. %.1f)   (the label window loading the tool's line libraries)\n",
                km, *std::min_element(linkedMs.begin(), linkedMs.end()),
                *std::max_element(linkedMs.begin(), linkedMs.end()));
    std::printf("  kestran-setup window %7.1f ms  (%.1f .. %.1f)   peak %6.1f MB   (listing COM1..COM255)\n", tm,
                *std::min_element(toolMs.begin(), toolMs.end()),
                *std::max_element(toolMs.begin(), toolMs.end()), tp);
    std::printf("  time ratio %.2f (goal <= 1.5), memory %+.1f MB over the bare window (goal <= +10 MB)\n",
                tm / bm, tp - bp);
    std::printf("  against the window with a label: time ratio %.2f, memory %+.1f MB\n", tm / lm, tp - lp);
    // Rows for bench/run's summary table: name | measured | floor | ratio | goal
    std::printf("summary: start-up time | %.1f ms | %.1f ms | %.2fx | <= 1.5x\n", tm, bm, tm / bm);
    std::printf("summary: start-up time vs. bare window + label | %.1f ms | %.1f ms | %.2fx | (context)\n", tm, lm, tm / lm);
    std::printf("summary: start-up time vs. label window + Qt Network, Serial Port | %.1f ms | %.1f ms | %.2fx | (context)\n",
                tm, km, tm / km);
    std::printf("summary: start-up peak memory | %.1f MB | %.1f MB | %+.1f MB | <= +10 MB\n", tp, bp, tp - bp);
    return 0;
}
