#include "linedconfig.h"

#include "history.h"

#include "plantfile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

// As the plant file: header-only, without exceptions.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <string_view>

namespace kestran::lined {

namespace {

QString fromToml(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += c.unicode() < 0x20 || c.unicode() == 0x7f ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                                                         : QString(c);
    return out;
}

int lineOf(const toml::source_region &region)
{
    return int(std::max<toml::source_index>(1, region.begin.line));
}

// Seconds, whole or not, as milliseconds; -1 when the node is no positive number.
int secondsOf(const toml::node &node)
{
    double s = -1;
    if (const auto *i = node.as_integer())
        s = double(i->get());
    else if (const auto *f = node.as_floating_point())
        s = f->get();
    if (!(s > 0) || s > 86400 * 7)
        return -1;
    return std::max(1, int(std::lround(s * 1000)));
}

} // namespace

bool parseListenAddress(const QString &input, ListenAddress *out, QString *problem)
{
    const QString text = input.trimmed();
    ListenAddress a;
    a.text = text;
    QString rest;
    if (text.startsWith(QLatin1String("tcp://"))) {
        a.scheme = ListenAddress::Tcp;
        rest = text.mid(6);
    } else if (text.startsWith(QLatin1String("tls://"))) {
        a.scheme = ListenAddress::Tls;
        rest = text.mid(6);
    } else {
        *problem = QStringLiteral("a listen address is tcp://ADDRESS:PORT or tls://ADDRESS:PORT");
        return false;
    }
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) {
        *problem = QStringLiteral("\u201C%1\u201D has no :PORT").arg(shown(text));
        return false;
    }
    QString host = rest.left(colon);
    bool ok = false;
    const uint port = rest.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535) {
        *problem = QStringLiteral("\u201C%1\u201D: the port is a number from 1 to 65535").arg(shown(text));
        return false;
    }
    a.port = quint16(port);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host == QLatin1String("localhost"))
        a.address = QHostAddress(QHostAddress::LocalHost);
    else if (host == QLatin1String("*"))
        a.address = QHostAddress(QHostAddress::Any);
    else if (!a.address.setAddress(host)) {
        *problem = QStringLiteral("\u201C%1\u201D: the address is an IPv4 address, [an IPv6 address], localhost or *")
                       .arg(shown(text));
        return false;
    }
    *out = a;
    return true;
}

bool parseLinedConfig(const QByteArray &text, const QString &source, LinedConfig *out, QString *error)
{
    auto fail = [&](int line, const QString &what) {
        if (error)
            *error = QStringLiteral("%1:%2: %3").arg(source).arg(line).arg(what);
        return false;
    };
    toml::parse_result parsed = toml::parse(std::string_view(text.constData(), size_t(text.size())), source.toStdString());
    if (!parsed)
        return fail(lineOf(parsed.error().source()), fromToml(parsed.error().description()));
    const toml::table &root = parsed.table();
    const QDir folder = QFileInfo(source).absoluteDir();
    auto fileName = [&](const QString &v) { return v.isEmpty() ? v : QDir::cleanPath(folder.absoluteFilePath(v)); };
    auto textOf = [&](const toml::node &node, int at, const QString &what, QString *into) {
        const auto *s = node.as_string();
        if (!s)
            return fail(at, QStringLiteral("%1 must be a text in quotes").arg(what));
        *into = fromToml(s->get()).trimmed();
        return true;
    };
    auto listenOf = [&](const toml::node &node, int at, const QString &what, ListenAddress *into) {
        QString t, why;
        if (!textOf(node, at, what, &t))
            return false;
        if (!parseListenAddress(t, into, &why))
            return fail(at, QStringLiteral("%1: %2").arg(what, why));
        return true;
    };

    LinedConfig config;
    const toml::array *list = nullptr;
    int listAt = 1;
    for (auto &&[key, node] : root) {
        const int at = lineOf(key.source());
        const std::string_view k = key.str();
        if (k == "line") {
            list = node.as_array();
            listAt = at;
            if (!list || !list->is_array_of_tables())
                return fail(at, QStringLiteral("\u201Cline\u201D must be written as [[line]] tables"));
        } else if (k == "status") {
            if (!listenOf(node, at, QStringLiteral("status"), &config.status))
                return false;
            if (config.status.scheme != ListenAddress::Tcp)
                return fail(at, QStringLiteral("the status page is served on tcp:// only"));
        } else if (k == "tls") {
            const toml::table *t = node.as_table();
            if (!t)
                return fail(at, QStringLiteral("tls must be a table of cert, key, ca and handshake-timeout"));
            for (auto &&[tk, tv] : *t) {
                const int tat = lineOf(tk.source());
                const std::string_view n = tk.str();
                QString v;
                if (n == "handshake-timeout") {
                    config.tls.handshakeTimeoutMs = secondsOf(tv);
                    if (config.tls.handshakeTimeoutMs < 0)
                        return fail(tat, QStringLiteral("handshake-timeout is a number of seconds above 0"));
                    continue;
                }
                QString *field = n == "cert" ? &config.tls.certFile : n == "key" ? &config.tls.keyFile
                               : n == "ca" ? &config.tls.caFile : nullptr;
                if (!field)
                    return fail(tat, QStringLiteral("unknown key \u201C%1\u201D in tls (it has cert, key, ca and "
                                                    "handshake-timeout)").arg(shown(fromToml(n))));
                if (!textOf(tv, tat, fromToml(n), &v))
                    return false;
                *field = fileName(v);
            }
        } else if (k == "history") {
            const toml::table *t = node.as_table();
            if (!t)
                return fail(at, QStringLiteral("history must be a table of database and require"));
            for (auto &&[hk, hv] : *t) {
                const int hat = lineOf(hk.source());
                if (hk.str() == "database") {
                    if (!textOf(hv, hat, QStringLiteral("database"), &config.history))
                        return false;
                    history::Target target;
                    QString why;
                    if (!history::parseTarget(config.history, &target, &why))
                        return fail(hat, QStringLiteral("database: ") + why);
                } else if (hk.str() == "require" && hv.as_boolean()) {
                    config.historyRequire = hv.as_boolean()->get();
                } else {
                    return fail(hat, hk.str() == "require" ? QStringLiteral("require must be true or false")
                                                           : QStringLiteral("unknown key \u201C%1\u201D in history (it has "
                                                                            "database and require)").arg(shown(fromToml(hk.str()))));
                }
            }
        } else {
            return fail(at, QStringLiteral("unknown key \u201C%1\u201D (the file holds [[line]] tables, [tls], [history] and status)")
                                .arg(shown(fromToml(k))));
        }
    }
    if (!list || list->empty())
        return fail(listAt, QStringLiteral("no [[line]] in the file"));

    static const QRegularExpression namePattern(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    for (const toml::node &entry : *list) {
        const toml::table &t = *entry.as_table();
        LineConfig line;
        line.fileLine = lineOf(t.source());
        for (auto &&[key, node] : t) {
            const int at = lineOf(key.source());
            const std::string_view k = key.str();
            if (k == "name") {
                if (!textOf(node, at, QStringLiteral("name"), &line.name))
                    return false;
                if (!namePattern.match(line.name).hasMatch())
                    return fail(at, QStringLiteral("name \u201C%1\u201D: use 1 to 64 letters, digits, \u201C.\u201D, "
                                                   "\u201C_\u201D or \u201C-\u201D").arg(shown(line.name)));
                for (const LineConfig &o : config.lines)
                    if (o.name == line.name)
                        return fail(at, QStringLiteral("the name \u201C%1\u201D is already used on line %2")
                                            .arg(line.name).arg(o.fileLine));
            } else if (k == "port") {
                if (!textOf(node, at, QStringLiteral("port"), &line.port))
                    return false;
                const QString why = portProblem(line.port);
                if (!why.isEmpty())
                    return fail(at, QStringLiteral("port \u201C%1\u201D: %2").arg(shown(line.port), why));
                for (const LineConfig &o : config.lines)
                    if (portIdentity(o.port) == portIdentity(line.port))
                        return fail(at, QStringLiteral("port \u201C%1\u201D is also the port of \u201C%2\u201D (line %3)")
                                            .arg(shown(line.port), o.name).arg(o.fileLine));
            } else if (k == "listen") {
                if (!listenOf(node, at, QStringLiteral("listen"), &line.listen))
                    return false;
            } else if (k == "monitor") {
                if (!listenOf(node, at, QStringLiteral("monitor"), &line.monitor))
                    return false;
            } else if (k == "writers") {
                const auto *a = node.as_array();
                if (!a)
                    return fail(at, QStringLiteral("writers must be a list of names, such as [\"setup-pc\"]"));
                QStringList names;
                for (const toml::node &n : *a) {
                    const auto *s = n.as_string();
                    if (!s || fromToml(s->get()).trimmed().isEmpty())
                        return fail(lineOf(n.source()), QStringLiteral("a writer is a name in quotes"));
                    names << fromToml(s->get()).trimmed();
                }
                line.writers = names;
            } else if (k == "idle-timeout") {
                line.idleTimeoutMs = secondsOf(node);
                if (line.idleTimeoutMs < 0)
                    return fail(at, QStringLiteral("idle-timeout is a number of seconds above 0"));
            } else if (k == "max-clients") {
                const auto *n = node.as_integer();
                if (!n || n->get() < 1 || n->get() > 100000)
                    return fail(at, QStringLiteral("max-clients is a whole number from 1 to 100000"));
                line.maxClients = int(n->get());
            } else if (k == "plain-anywhere") {
                const auto *b = node.as_boolean();
                if (!b)
                    return fail(at, QStringLiteral("plain-anywhere is true or false"));
                line.plainAnywhere = b->get();
            } else if (k == "upstream-tls") {
                const toml::table *u = node.as_table();
                if (!u)
                    return fail(at, QStringLiteral("upstream-tls must be a table of ca, cert, key and pin"));
                for (auto &&[uk, uv] : *u) {
                    const int uat = lineOf(uk.source());
                    const std::string_view n = uk.str();
                    QString *field = n == "ca" ? &line.upstreamTls.caFile : n == "cert" ? &line.upstreamTls.certFile
                                   : n == "key" ? &line.upstreamTls.keyFile : n == "pin" ? &line.upstreamTls.pin : nullptr;
                    if (!field)
                        return fail(uat, QStringLiteral("unknown key \u201C%1\u201D in upstream-tls (it has ca, cert, "
                                                        "key and pin)").arg(shown(fromToml(n))));
                    QString v;
                    if (!textOf(uv, uat, fromToml(n), &v))
                        return false;
                    *field = n == "pin" ? v : fileName(v);
                    if (n == "pin" && parseFingerprint(v).isEmpty())
                        return fail(uat, QStringLiteral("pin \u201C%1\u201D is not a SHA-256 fingerprint").arg(shown(v)));
                }
                line.upstreamTls.source = source;
            } else {
                return fail(at, QStringLiteral("unknown key \u201C%1\u201D (a line has name, port, listen, writers, "
                                               "monitor, idle-timeout, max-clients, plain-anywhere and upstream-tls)")
                                    .arg(shown(fromToml(k))));
            }
        }
        if (line.name.isEmpty())
            return fail(line.fileLine, QStringLiteral("this line has no name"));
        if (line.port.isEmpty())
            return fail(line.fileLine, QStringLiteral("line \u201C%1\u201D has no port").arg(line.name));
        if (!line.listen.isSet())
            return fail(line.fileLine, QStringLiteral("line \u201C%1\u201D has no listen address").arg(line.name));
        LinedConfig alone;
        alone.lines = {line};
        alone.tls = config.tls;
        const QString why = checkLinedConfig(alone);
        if (!why.isEmpty())
            return fail(line.fileLine, why);
        for (const LineConfig &o : config.lines)
            for (const ListenAddress *mine : {&line.listen, &line.monitor})
                for (const ListenAddress *theirs : {&o.listen, &o.monitor})
                    if (mine->isSet() && theirs->isSet() && mine->port != 0 && mine->port == theirs->port)
                        return fail(line.fileLine, QStringLiteral("port %1 is also served by \u201C%2\u201D (line %3)")
                                                       .arg(mine->port).arg(o.name).arg(o.fileLine));
        config.lines.append(line);
    }
    for (LineConfig &l : config.lines) {
        l.history = config.history;
        l.historyRequire = config.historyRequire;
    }
    *out = config;
    return true;
}

QString checkLinedConfig(const LinedConfig &config)
{
    for (const LineConfig &line : config.lines) {
        for (const ListenAddress *a : {&line.listen, &line.monitor}) {
            if (!a->isSet())
                continue;
            if (a->scheme == ListenAddress::Tcp && !a->isLoopback() && !line.plainAnywhere)
                return QStringLiteral("%1 serves plain TCP beyond this computer: use tls://, or allow it "
                                      "explicitly (plain-anywhere = true, --plain-anywhere)").arg(a->text);
            if (a->scheme == ListenAddress::Tls && !config.tls.isSet())
                return QStringLiteral("%1 needs the server's certificate, key and client CA ([tls] cert, key, ca; "
                                      "--cert, --key, --ca)").arg(a->text);
            if (a->scheme == ListenAddress::Tls && config.tls.caFile.isEmpty())
                return QStringLiteral("%1 needs the CA of the client certificates ([tls] ca, --ca): a client's "
                                      "name is its certificate's CN").arg(a->text);
        }
        if (line.listen.isSet() && line.monitor.isSet() && line.listen.port != 0
            && line.listen.port == line.monitor.port)
            return QStringLiteral("the line and its monitor cannot share port %1").arg(line.listen.port);
    }
    return QString();
}

} // namespace kestran::lined
