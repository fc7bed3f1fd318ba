// Standard output and error, and the forms data is printed in.
#include "cli.h"

#include "fileidentity.h"
#include "stdtext.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestran::cli {

namespace {

bool g_outFailed = false;
int g_outErrno = 0;

void toStderr(const QString &text)
{
    writeStdText(stderr, text);
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its
// quotes doubled; every record ends with CR LF.
QString csvField(const QString &text)
{
    const QString f = withoutControls(text);
    if (!f.contains(QLatin1Char(',')) && !f.contains(QLatin1Char('"')))
        return f;
    return QLatin1Char('"') + QString(f).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

} // namespace

void progress(const Invocation &inv, const QString &text)
{
    if (!inv.quiet)
        error(text);
}

void error(const QString &text)
{
    toStderr(QStringLiteral("kestran-ctl: %1\n").arg(withoutControls(text)));
}

void say(const QString &text)
{
    toStderr(text);
}

QString withoutControls(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString lineText(const QString &bytes)
{
    QString shown;
    shown.reserve(bytes.size());
    for (const QChar c : bytes) {
        const ushort u = c.unicode();
        if (u < 0x20 || u >= 0x7f)
            shown += QStringLiteral("\\x%1").arg(u & 0xff, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

bool out(const QString &text)
{
    if (g_outFailed)
        return false;
    errno = 0;
    if (!writeStdText(stdout, text)) {
        g_outFailed = true;
        g_outErrno = errno;
        return false;
    }
    return true;
}

bool outputFailed()
{
    return g_outFailed;
}

int finishOutput(int exitCode)
{
    if (!g_outFailed) {
        errno = 0;
        const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
        const int flushErrno = errno;
        if (!flushed || std::fclose(stdout) != 0) {
            g_outFailed = true;
            g_outErrno = flushed ? errno : flushErrno;
        }
    }
    if (!g_outFailed)
        return exitCode;
    error(QStringLiteral("cannot write to standard output: %1")
              .arg(g_outErrno ? QString::fromLocal8Bit(std::strerror(g_outErrno)) : QStringLiteral("write error")));
    return exitCode == kDone ? int(kOutputFailed) : exitCode;
}

QString renderTableText(const QStringList &head, const QList<QStringList> &rows)
{
    QList<QStringList> shownRows;
    for (const QStringList &row : rows) {
        QStringList shown;
        for (const QString &cell : row)
            shown << withoutControls(cell);
        shownRows << shown;
    }
    QVector<int> width(head.size(), 0);
    auto measure = [&](const QStringList &row) {
        for (int i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], int(row[i].size()));
    };
    measure(head);
    for (const QStringList &row : shownRows)
        measure(row);
    QString text;
    auto line = [&](const QStringList &row) {
        QString l;
        for (int i = 0; i < row.size(); ++i)
            l += i + 1 < row.size() ? row[i].leftJustified(width[i] + 2) : row[i];
        text += l.trimmed() + QLatin1Char('\n');
    };
    line(head);
    for (const QStringList &row : shownRows)
        line(row);
    return text;
}

QString renderCsvText(const QStringList &head, const QList<QStringList> &rows, bool withHead)
{
    QString text;
    auto line = [&](const QStringList &row) {
        QStringList fields;
        for (const QString &f : row)
            fields << csvField(f);
        text += fields.join(QLatin1Char(',')) + QLatin1String("\r\n");
    };
    if (withHead)
        line(head);
    for (const QStringList &row : rows)
        line(row);
    return text;
}

QString jsonLine(const QJsonValue &v)
{
    const QByteArray json = v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                                        : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json) + QLatin1Char('\n');
}

// ---------------------------------------------------------------- -o FILE

OutputFile::OutputFile(const QString &name) : m_name(name), m_saveFile(name), m_deviceFile(name)
{
    m_toStdout = isStdStream(name);
    const QFileInfo target(name);
    m_inPlace = !m_toStdout && target.exists()
        && (!target.isFile() || name.startsWith(QLatin1String("/dev/std")) || name.startsWith(QLatin1String("/dev/fd/"))
            || name.startsWith(QLatin1String("/proc/")));
    if (m_inPlace) {
        const FileIdentity file = identifyFile(name), std = identifyStream(StdStream::Output);
        m_sharesStdout = name == QLatin1String("/dev/stdout") || name == QLatin1String("/dev/fd/1")
                      || name == QLatin1String("/proc/self/fd/1") || (file.isKnown() && file == std);
    }
}

bool OutputFile::open()
{
    if (m_toStdout)
        return true;
    QFileDevice &file = m_inPlace ? static_cast<QFileDevice &>(m_deviceFile) : m_saveFile;
    const QIODevice::OpenMode mode = m_inPlace && QFileInfo(m_name).isFile() ? QIODevice::WriteOnly | QIODevice::Append
                                                                             : QIODevice::WriteOnly;
    if (file.open(mode))
        return true;
    error(QStringLiteral("cannot write %1: %2").arg(m_name, file.errorString()));
    return false;
}

bool OutputFile::write(const QByteArray &bytes)
{
    if (m_toStdout)
        return out(QString::fromUtf8(bytes));   // a failure is said by finishOutput
    QFileDevice &file = m_inPlace ? static_cast<QFileDevice &>(m_deviceFile) : m_saveFile;
    if (file.write(bytes) == bytes.size() && (m_inPlace ? m_deviceFile.flush() : m_saveFile.commit()))
        return true;
    error(QStringLiteral("writing %1 failed: %2").arg(m_name, file.errorString()));
    return false;
}

} // namespace kestran::cli
