// kestran-ctl: the KESTRAN counters from a script.
#include "cli.h"

#include <QCoreApplication>

using namespace kestran::cli;

static int run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestran-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAN_VERSION));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return runParsed(parseCommandLine(arguments, qEnvironmentVariable("KESTRAN_PORT")));
}

int main(int argc, char **argv)
{
    return finishOutput(run(argc, argv));
}
