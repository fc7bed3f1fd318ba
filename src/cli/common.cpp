// Wording and checks the subcommands share.
#include "cli.h"


#include <QFile>

namespace kestran::cli {

int noPositional(const Invocation &inv)
{
    if (inv.arguments.isEmpty())
        return kDone;
    error(QStringLiteral("%1 takes no argument \u201C%2\u201D (try kestran-ctl help %1)").arg(inv.command, inv.arguments.first()));
    return kUsage;
}

int needDevice(const Invocation &inv)
{
    if (inv.device >= 0)
        return kDone;
    error(QStringLiteral("%1 needs a device number: -d N (0 to 7)").arg(inv.command));
    return kUsage;
}

bool readInput(const QString &path, qint64 limit, QByteArray *bytes, QString *why, bool tooLargeAsBackup)
{
    // "-" reads standard input.
    const bool fromStdin = isStdStream(path);
    const QString shown = fromStdin ? QStringLiteral("standard input") : path;
    QFile f(path);
    if (!(fromStdin ? f.open(stdin, QIODevice::ReadOnly) : f.open(QIODevice::ReadOnly))) {
        *why = QStringLiteral("cannot read %1: %2").arg(shown, f.errorString());
        return false;
    }
    // A pipe gives it in pieces.
    bytes->clear();
    while (bytes->size() <= limit) {
        const QByteArray piece = f.read(limit + 1 - bytes->size());
        if (piece.isEmpty())
            break;
        *bytes += piece;
    }
    if (f.error() != QFileDevice::NoError) {
        *why = QStringLiteral("cannot read %1: %2").arg(shown, f.errorString());
        return false;
    }
    if (bytes->size() > limit) {
        *why = tooLargeAsBackup ? QStringLiteral("%1: too large for a backup file").arg(shown)
                                : QStringLiteral("%1: too large").arg(shown);
        return false;
    }
    return true;
}

} // namespace kestran::cli
