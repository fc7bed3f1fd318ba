#pragma once
// The record of every change our programs make to a counter: who set what,
// when, from where, before and after; and of every backup and drift check.
//
// A change is written in two entries: the intent, committed before the first
// frame goes out (beginChange), and its outcome once the value is verified or
// not (finish). An intent without an outcome is a change whose program ended
// in between: it reads as "outcome unknown".
//
// Entries are only ever inserted. Each carries the SHA-256 of the entry before
// it and its own, so that verify() finds an entry altered or taken out of the
// middle of the chain.
//
// Plain classes, no widgets. Where the Qt build has no Qt SQL (Windows), the
// recorder records nothing and says so (history_none.cpp).
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

namespace kestran::history {

// What became of a value sent, in the programs' own words (outcomeText).
enum class Outcome {
    Unknown = 0,     // no outcome was recorded: the program ended in between
    Verified = 1,    // read back as sent
    ReadOtherwise = 2, // read back as another value
    NotVerified = 3, // sent, not verified (no value came back, or the line was lost)
    NotSent = 4,     // never handed to the line
};
QString outcomeText(Outcome o);

// Who, from where, with what.
struct Origin {
    QString who;         // the OS user, or the client's certificate name at the line server
    QString machine;     // this computer's host name
    QString program;     // "kestran-ctl 0.1"
    QString port;        // the port text as given
    QString line;        // the plant's line name, "" without a plant
    // The OS user, this machine and `program` with its version.
    static Origin here(const QString &program);
};

// One value about to be sent.
struct ChangeValue {
    int device = 0;
    QString parameter;   // TARGET, ACTUAL, RESET, DEBOUNCE0, ...
    QString before;      // the value field the device last answered; "" = unknown
    QString sent;        // the value field sent
};

// The intents of one change, for finish().
struct Pending {
    QByteArray group;
    Origin origin;
    QVector<ChangeValue> values;
    bool recorded = false;     // the intents are on record (or in the spool)
};

// A backup or a drift check.
struct FileRecord {
    enum Kind { Backup = 1, Check = 2 };
    Kind kind = Backup;
    QString file;
    QByteArray sha256;   // of the file's bytes (raw, 32 bytes)
    QStringList lines;   // the plant's lines, or the port
    QString devices;     // "0,1,5" or "press-3:0,1;press-4:0-7"
    QString result;      // "saved", "matches", "1 setting differs", ...
};

// Where the history is kept, as given by --history, KESTRAN_HISTORY, a
// [history] table or the window's settings.
struct Target {
    enum Kind { Default, Sqlite, Postgres, None };
    Kind kind = Default;
    QString sqlitePath;        // Sqlite: the file; Default: resolved in the data folder
    QString postgres;          // Postgres: the libpq connection text (keyword=value ...)
    QString described;         // as given, without any password, for messages
    bool require = false;      // nothing is written where no entry can be made
    int connectTimeoutS = 2;   // the shared database's connect time
    int retryAfterS = 30;      // after a failed connect, the spool is used this long without trying again
    QString spoolPath;         // Postgres: the local spool; "" = in the data folder
};
// Parses the text as given: "" or "default" (SQLite in the data folder),
// "none", "sqlite:PATH", a postgresql:// or postgres:// URL, "service=NAME" or a
// bare libpq service name. False with the reason in `why`; a URL with a
// password is refused (a password goes in the pgpass file).
bool parseTarget(const QString &text, Target *target, QString *why);
// The folder the default database and the spool live in.
QString dataFolder();

// One entry as read back: a change (with its outcome), or a file record.
struct Entry {
    qint64 seq = 0;            // the chain position
    QByteArray id;             // 16 bytes, unique
    enum Kind { Change = 1, OutcomeOf = 2, File = 3 } kind = Change;
    QByteArray group;
    QDateTime at;              // UTC
    Origin origin;
    int device = -1;
    QString parameter, before, sent;
    Outcome outcome = Outcome::Unknown;
    QDateTime outcomeAt;       // invalid when unknown
    FileRecord file;           // File only; an outcome's words are in file.result
    QByteArray prev, hash;     // the chain: the predecessor's hash and this entry's
};

struct Filter {
    QStringList lines;         // the line name or, without one, the port
    int device = -1;
    QStringList parameters;
    QString who;
    QDateTime since, until;    // invalid: open
    QDateTime at;              // valid: each value as it stood then (the newest verified change before it)
    bool files = true;         // file records too (not with a device or parameter filter)
    int limit = -1;
};

struct VerifyResult {
    bool ok = true;
    qint64 entries = 0;
    qint64 firstBad = -1;      // the chain position of the first entry that does not fit
    QString why;
};

class Backend;

class Recorder {
public:
    // Opens the store: creates the SQLite file and table where needed. A
    // shared database that cannot be reached is not an error: entries go to
    // the spool. False (with why) only where nothing can be recorded at all.
    static std::unique_ptr<Recorder> open(const Target &target, QString *why);
    ~Recorder();

    // Called once with a message the user should see: the shared database is
    // out of reach and entries are spooled, or nothing can be recorded.
    void setNotice(std::function<void(const QString &)> notice);

    static QByteArray newGroup();

    // Commits the intents of one change. False: no entry could be made
    // anywhere (`why` says why); with require the caller sends nothing.
    bool beginChange(const QByteArray &group, const Origin &origin, const QVector<ChangeValue> &values,
                     Pending *pending, QString *why = nullptr);
    // The outcomes, one per value of beginChange, in that order.
    bool finish(const Pending &pending, const QVector<Outcome> &outcomes, QString *why = nullptr);
    bool recordFile(const Origin &origin, const FileRecord &file, QString *why = nullptr);

    // Newest first.
    bool query(const Filter &filter, QVector<Entry> *entries, QString *why);
    VerifyResult verify();
    // Sends spooled entries on to the shared database; the number sent, -1 when it cannot be reached.
    int sync();
    // Entries waiting in the spool.
    int spooled();

    bool require() const;
    // Whether anything is recorded at all (false for "none" and where Qt has no SQL).
    bool recording() const;
    QString describe() const;

private:
    Recorder() = default;
    bool store(const QVector<Entry> &entries, QString *why);
    std::unique_ptr<Backend> m_backend;
};

// ---------------------------------------------------------------- the chain (historychain.cpp)

// The bytes an entry's hash covers, in a fixed order, each field with its length.
QByteArray canonical(const Entry &e);
// SHA-256 of the predecessor's hash and the canonical bytes.
QByteArray chainHash(const QByteArray &previous, const Entry &e);

} // namespace kestran::history
