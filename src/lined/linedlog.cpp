#include "linedlog.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>

namespace kestran::lined {

namespace {
bool g_quiet = false;

bool toJournal()
{
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return journal;
}
} // namespace

void setLogQuiet(bool quiet) { g_quiet = quiet; }

void logLine(LogLevel level, const QString &text)
{
    if (g_quiet)
        return;
    // One event, one line: a line break inside a text would split it in two.
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ').replace('\r', ' ');
    if (toJournal())
        std::fprintf(stderr, "<%d>%s\n", int(level), line.constData());
    else
        std::fprintf(stderr, "kestran-lined: %s\n", line.constData());
    std::fflush(stderr);
}

} // namespace kestran::lined
