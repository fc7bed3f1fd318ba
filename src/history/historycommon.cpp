// What every build of the history shares: the targets as given, the origin of
// a change, the words for outcomes and the chain's hash.
#include "history.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace kestran::history {

QString outcomeText(Outcome o)
{
    switch (o) {
    case Outcome::Verified: return QStringLiteral("verified");
    case Outcome::ReadOtherwise: return QStringLiteral("read back as another value");
    case Outcome::NotVerified: return QStringLiteral("sent, not verified");
    case Outcome::NotSent: return QStringLiteral("not sent");
    case Outcome::Unknown: break;
    }
    return QStringLiteral("outcome unknown");
}

Origin Origin::here(const QString &program)
{
    Origin o;
    // The owner of this process as the system knows it (Linux); the
    // environment only where there is no /proc (Windows).
    o.who = QFileInfo(QStringLiteral("/proc/self")).owner();
    for (const char *name : {"USER", "LOGNAME", "USERNAME"}) {
        if (!o.who.isEmpty())
            break;
        o.who = qEnvironmentVariable(name);
    }
    o.machine = QSysInfo::machineHostName();
    o.program = program;
    return o;
}

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/kestran-setup");
}

namespace {

// A libpq value in single quotes. The Qt driver turns ';' into the separator
// between options, so a value may not hold one.
bool quoteValue(const QString &value, QString *quoted)
{
    if (value.contains(QLatin1Char(';')))
        return false;
    QString v = value;
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    v.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    *quoted = QLatin1Char('\'') + v + QLatin1Char('\'');
    return true;
}

bool addOption(QStringList *options, const QString &key, const QString &value, QString *why)
{
    QString q;
    if (!quoteValue(value, &q)) {
        *why = QStringLiteral("the value of %1 holds a \u201C;\u201D").arg(key);
        return false;
    }
    options->append(key + QLatin1Char('=') + q);
    return true;
}

bool parseUrl(const QString &text, Target *t, QString *why)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.host().isEmpty() && !QUrlQuery(url).hasQueryItem(QStringLiteral("host")))) {
        *why = QStringLiteral("not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE?sslmode=verify-full)");
        return false;
    }
    if (!url.password().isEmpty()) {
        *why = QStringLiteral("a password does not go in the URL: put it in the pgpass file or use a service name");
        return false;
    }
    QStringList options;
    if (!url.host().isEmpty() && !addOption(&options, QStringLiteral("host"), url.host(), why))
        return false;
    if (url.port() > 0)
        options << QStringLiteral("port=%1").arg(url.port());
    const QString db = url.path().mid(1);
    if (!db.isEmpty() && !addOption(&options, QStringLiteral("dbname"), db, why))
        return false;
    if (!url.userName().isEmpty() && !addOption(&options, QStringLiteral("user"), url.userName(), why))
        return false;
    static const QRegularExpression keyShape(QStringLiteral("^[a-z_]+$"));
    for (const auto &item : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (!keyShape.match(item.first).hasMatch() || item.first == QLatin1String("password")) {
            *why = item.first == QLatin1String("password")
                       ? QStringLiteral("a password does not go in the URL: put it in the pgpass file or use a service name")
                       : QStringLiteral("\u201C%1\u201D is not a connection parameter").arg(item.first);
            return false;
        }
        if (item.first == QLatin1String("connect_timeout")) {
            bool ok = false;
            const int s = item.second.toInt(&ok);
            if (!ok || s < 1 || s > 60) {
                *why = QStringLiteral("connect_timeout is 1 to 60 seconds");
                return false;
            }
            t->connectTimeoutS = s;
            continue;
        }
        if (!addOption(&options, item.first, item.second, why))
            return false;
    }
    t->kind = Target::Postgres;
    t->postgres = options.join(QLatin1Char(';'));
    return true;
}

} // namespace

bool parseTarget(const QString &given, Target *t, QString *why)
{
    const QString text = given.trimmed();
    const bool require = t->require;
    *t = Target{};
    t->require = require;
    t->described = text;
    if (text.isEmpty() || text == QLatin1String("default")) {
        t->kind = Target::Default;
        t->sqlitePath = dataFolder() + QStringLiteral("/history.sqlite");
        t->described = t->sqlitePath;
        return true;
    }
    if (text == QLatin1String("none")) {
        t->kind = Target::None;
        return true;
    }
    if (text.startsWith(QLatin1String("sqlite:"))) {
        t->kind = Target::Sqlite;
        t->sqlitePath = QDir::cleanPath(QDir::current().absoluteFilePath(text.mid(7)));
        if (text.size() == 7) {
            *why = QStringLiteral("sqlite: needs a file name (sqlite:/path/history.sqlite)");
            return false;
        }
        t->described = t->sqlitePath;
        return true;
    }
    if (text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"))) {
        if (!parseUrl(text, t, why))
            return false;
        QUrl shown(text);
        shown.setQuery(QString());
        t->described = shown.toString();
        return true;
    }
    QString service = text;
    if (service.startsWith(QLatin1String("service=")))
        service = service.mid(8);
    static const QRegularExpression serviceShape(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    if (!serviceShape.match(service).hasMatch()) {
        *why = QStringLiteral("\u201C%1\u201D is not a history database: a postgresql:// URL, a service name, "
                              "sqlite:FILE, default or none").arg(text);
        return false;
    }
    t->kind = Target::Postgres;
    t->postgres = QStringLiteral("service=") + service;
    t->described = QStringLiteral("service ") + service;
    return true;
}

// ---------------------------------------------------------------- the chain

namespace {
void field(QByteArray *out, const QByteArray &bytes)
{
    out->append(QByteArray::number(bytes.size()));
    out->append(':');
    out->append(bytes);
}
void field(QByteArray *out, const QString &text) { field(out, text.toUtf8()); }
} // namespace

QByteArray canonical(const Entry &e)
{
    QByteArray out;
    out.reserve(256);
    field(&out, QByteArray::number(int(e.kind)));
    field(&out, e.id);
    field(&out, e.group);
    field(&out, QByteArray::number(e.at.toMSecsSinceEpoch()));
    field(&out, e.origin.who);
    field(&out, e.origin.machine);
    field(&out, e.origin.program);
    field(&out, e.origin.port);
    field(&out, e.origin.line);
    field(&out, QByteArray::number(e.device));
    field(&out, e.parameter);
    field(&out, e.before);
    field(&out, e.sent);
    field(&out, e.file.file);
    field(&out, e.file.sha256);
    field(&out, e.file.devices);
    field(&out, e.file.result);
    return out;
}

QByteArray chainHash(const QByteArray &previous, const Entry &e)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(previous);
    h.addData(canonical(e));
    return h.result();
}

} // namespace kestran::history
