#pragma once
// The resident memory of this process, for tests and benchmarks that watch it.
#include <QByteArray>
#include <QFile>

// VmRSS from /proc/self/status in kB, or -1 when it cannot be read.
inline qint64 vmRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
