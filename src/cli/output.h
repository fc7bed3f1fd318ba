#pragma once
// What kestran-ctl prints: data on standard output, messages on standard
// error, and the three forms data takes (a table, CSV, JSON).
#include <QFile>
#include <QJsonValue>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QStringList>

namespace kestran::cli {

struct Invocation;

// Messages on stderr: progress (silent with -q) and errors (always). Control
// characters in them are shown escaped (\x1b), so no text can steer the terminal.
void progress(const Invocation &inv, const QString &text);
void error(const QString &text);
// A result on stderr when stdout carries a document (a closing table): no
// prefix, and -q does not silence it.
void say(const QString &text);
// Text as it may reach a terminal: control characters (C0, DEL, C1) as \xNN.
QString withoutControls(const QString &text);
// Bytes from the line (Latin-1 in a QString) shown: printable ASCII as it is,
// every other byte as \xNN.
QString lineText(const QString &bytes);
// The file name "-": standard input or output.
inline bool isStdStream(const QString &name) { return name == QLatin1String("-"); }

// Data on stdout, flushed at once. False once standard output has failed
// (then nothing more is written).
bool out(const QString &text);
bool outputFailed();
// The exit code after the last flush of standard output: a failure to write
// it is said, and turns success into kOutputFailed.
int finishOutput(int exitCode);

// A table as the subcommands print it: columns two spaces apart, control
// characters in cells escaped.
QString renderTableText(const QStringList &head, const QList<QStringList> &rows);
// The same as CSV (RFC 4180: CR LF line ends, quotes doubled), as --csv prints it.
QString renderCsvText(const QStringList &head, const QList<QStringList> &rows, bool withHead = true);
struct Table {
    QStringList head;
    QList<QStringList> rows;
};
inline QString renderTable(const Table &t) { return renderTableText(t.head, t.rows); }
inline QString renderCsv(const Table &t, bool withHead = true) { return renderCsvText(t.head, t.rows, withHead); }

// One JSON document (an object or an array) on one line.
QString jsonLine(const QJsonValue &value);

// The file a backup writes (-o FILE). "-" is standard output; a file is
// replaced whole or not at all; a device or pipe (/dev/stdout, a FIFO) is
// written to as it is, since it cannot be replaced, and a regular file behind
// such a name (/dev/stdout of "> file" or ">> file") is appended to, never cut short.
class OutputFile {
public:
    explicit OutputFile(const QString &name);
    // Before anything is asked: false, with the message said, when it cannot be written.
    bool open();
    // The document, whole; false with the message said (exit kOutputFailed).
    bool write(const QByteArray &bytes);
    // Standard output carries the document: anything else printed goes to stderr.
    bool isStandardOutput() const { return m_toStdout || m_sharesStdout; }

private:
    QString m_name;
    bool m_toStdout = false;
    bool m_inPlace = false;
    bool m_sharesStdout = false;
    QSaveFile m_saveFile;
    QFile m_deviceFile;
};

} // namespace kestran::cli
