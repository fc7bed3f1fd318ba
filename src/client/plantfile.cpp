#include "plantfile.h"

#include "mdlcomport.h"
#include "portname.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

// The reader is used header-only and without exceptions: errors come back as values.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace kestran {

const PlantLine *Plant::find(const QString &name) const
{
    for (const PlantLine &l : lines)
        if (l.name == name)
            return &l;
    return nullptr;
}

namespace {

QString fromToml(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// A text from the file as it may be shown: control characters escaped.
QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

int lineOf(const toml::source_region &region)
{
    return int(std::max<toml::source_index>(1, region.begin.line));
}

} // namespace

QString portProblem(const QString &portText)
{
    const QString text = portText.trimmed();
    if (text.isEmpty())
        return QStringLiteral("no port given");
    const PortText port = parsePortText(text, ComPrefix::ComLetters);
    if (port.kind == PortText::Invalid)
        return port.problem.isEmpty() ? QStringLiteral("not a port") : port.problem;
    return QString();
}

QString portIdentity(const QString &portText, PortTable *table)
{
    const PortText port = parsePortText(portText.trimmed(), ComPrefix::ComLetters);
    auto localPath = [](const QString &path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return QStringLiteral("path:") + (canonical.isEmpty() ? QDir::cleanPath(path) : canonical);
    };
    switch (port.kind) {
    case PortText::Com: {
        PortTable &ports = table ? *table : mdlCOMPort::portTable();
        if (const auto dev = ports.device(port.number))
            return localPath(dev->path);
        return QStringLiteral("com:%1").arg(port.number);
    }
    case PortText::Path:
        return localPath(port.path);
    case PortText::Tcp:
    case PortText::Rfc2217:
    case PortText::Tls:
    case PortText::Rfc2217Tls:
        // One gateway port serves one line, whichever way it is spoken to.
        return QStringLiteral("net:%1:%2").arg(port.host.toLower()).arg(port.tcpPort);
    case PortText::Invalid:
        break;
    }
    return QStringLiteral("invalid:") + portText;
}

namespace {

// [history]: database (a text) and require (true or false).
template <typename Fail>
bool readHistory(const toml::node &node, int at, Plant *out, Fail &fail)
{
    const toml::table *t = node.as_table();
    if (!t)
        return fail(at, QStringLiteral("history must be a table of database and require"));
    out->historyGiven = true;
    out->historyLine = at;
    for (auto &&[k, v] : *t) {
        const std::string_view name = k.str();
        if (name == "database") {
            if (!v.as_string())
                return fail(lineOf(k.source()), QStringLiteral("database must be a text in quotes"));
            out->historyDatabase = fromToml(v.as_string()->get()).trimmed();
        } else if (name == "require") {
            if (!v.as_boolean())
                return fail(lineOf(k.source()), QStringLiteral("require must be true or false"));
            out->historyRequire = v.as_boolean()->get();
        } else {
            return fail(lineOf(k.source()), QStringLiteral("unknown key \u201C%1\u201D in history (it has database and require)")
                                               .arg(shown(fromToml(name))));
        }
    }
    return true;
}

} // namespace

bool parsePlant(const QByteArray &text, const QString &source, Plant *out, QString *error, PortTable *table)
{
    auto fail = [&](int line, const QString &what) {
        if (error)
            *error = QStringLiteral("%1:%2: %3").arg(source).arg(line).arg(what);
        return false;
    };
    const std::string path = source.toStdString();
    toml::parse_result parsed = toml::parse(std::string_view(text.constData(), size_t(text.size())), path);
    if (!parsed) {
        const toml::parse_error &e = parsed.error();
        return fail(lineOf(e.source()), fromToml(e.description()));
    }
    const toml::table &root = parsed.table();

    const QDir folder = QFileInfo(source).absoluteDir();
    // ca, cert, key and pin of a TLS table; false after fail().
    auto readTls = [&](const toml::node &node, int at, TlsSettings *tls) {
        const toml::table *t = node.as_table();
        if (!t) {
            fail(at, QStringLiteral("tls must be a table of ca, cert, key and pin"));
            return false;
        }
        for (auto &&[k, v] : *t) {
            const auto *s = v.as_string();
            const std::string_view name = k.str();
            QString *field = name == "ca" ? &tls->caFile : name == "cert" ? &tls->certFile
                           : name == "key" ? &tls->keyFile : name == "pin" ? &tls->pin : nullptr;
            if (!field) {
                fail(lineOf(k.source()), QStringLiteral("unknown key \u201C%1\u201D in tls (it has ca, cert, key and pin)")
                                             .arg(shown(fromToml(name))));
                return false;
            }
            if (!s) {
                fail(lineOf(k.source()), QStringLiteral("%1 must be a text in quotes").arg(fromToml(name)));
                return false;
            }
            const QString value = fromToml(s->get()).trimmed();
            *field = name == "pin" || value.isEmpty() ? value : QDir::cleanPath(folder.absoluteFilePath(value));
            if (name == "pin" && parseFingerprint(value).isEmpty()) {
                fail(lineOf(k.source()), QStringLiteral("pin \u201C%1\u201D is not a SHA-256 fingerprint (64 hexadecimal "
                                                        "digits, colons allowed)").arg(shown(value)));
                return false;
            }
        }
        tls->source = source;
        return true;
    };
    TlsSettings fileTls;
    Plant history;   // [history] only
    const toml::array *list = nullptr;
    for (auto &&[key, node] : root) {
        if (key.str() == "tls") {
            if (!readTls(node, lineOf(key.source()), &fileTls))
                return false;
            continue;
        }
        if (key.str() == "history") {
            if (!readHistory(node, lineOf(key.source()), &history, fail))
                return false;
            continue;
        }
        if (key.str() != "line")
            return fail(lineOf(key.source()),
                        QStringLiteral("unknown key \u201C%1\u201D (a plant file holds [[line]] tables, one [tls] and one [history])").arg(shown(fromToml(key.str()))));
        list = node.as_array();
        if (!list || !list->is_array_of_tables())
            return fail(lineOf(key.source()), QStringLiteral("\u201Cline\u201D must be written as [[line]] tables"));
    }
    if (!list || list->empty())
        return fail(1, QStringLiteral("no [[line]] in the file"));

    static const QRegularExpression namePattern(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    Plant plant;
    QHash<QString, int> portSeen;   // port identity -> index into plant.lines
    for (const toml::node &entry : *list) {
        const toml::table &t = *entry.as_table();
        PlantLine line;
        line.fileLine = lineOf(t.source());
        bool hasName = false, hasPort = false;
        for (auto &&[key, node] : t) {
            const int at = lineOf(key.source());
            const std::string_view k = key.str();
            if (k == "name") {
                const auto *s = node.as_string();
                if (!s)
                    return fail(at, QStringLiteral("name must be a text in quotes"));
                line.name = fromToml(s->get());
                if (!namePattern.match(line.name).hasMatch())
                    return fail(at, QStringLiteral("name \u201C%1\u201D: use 1 to 64 letters, digits, \u201C.\u201D, \u201C_\u201D or \u201C-\u201D")
                                        .arg(shown(line.name)));
                if (const PlantLine *other = plant.find(line.name))
                    return fail(at, QStringLiteral("the name \u201C%1\u201D is already used on line %2")
                                        .arg(line.name).arg(other->fileLine));
                hasName = true;
            } else if (k == "port") {
                const auto *s = node.as_string();
                if (!s)
                    return fail(at, QStringLiteral("port must be a text in quotes"));
                line.port = fromToml(s->get()).trimmed();
                const QString why = portProblem(line.port);
                if (!why.isEmpty())
                    return fail(at, QStringLiteral("port \u201C%1\u201D: %2").arg(shown(line.port), why));
                hasPort = true;
            } else if (k == "devices") {
                const auto *a = node.as_array();
                if (!a || a->empty())
                    return fail(at, QStringLiteral("devices must be a list of device numbers, such as [0, 1, 5]"));
                for (const toml::node &d : *a) {
                    const auto *n = d.as_integer();
                    if (!n || n->get() < 0 || n->get() > 7)
                        return fail(lineOf(d.source()), QStringLiteral("a device number is a whole number from 0 to 7"));
                    if (line.devices.contains(int(n->get())))
                        return fail(lineOf(d.source()), QStringLiteral("device %1 is listed twice").arg(n->get()));
                    line.devices.append(int(n->get()));
                }
                std::sort(line.devices.begin(), line.devices.end());
            } else if (k == "tls") {
                if (!readTls(node, at, &line.tls))
                    return false;
            } else {
                return fail(at, QStringLiteral("unknown key \u201C%1\u201D (a line has name, port, devices and tls)")
                                    .arg(shown(fromToml(k))));
            }
        }
        if (!hasName)
            return fail(line.fileLine, QStringLiteral("this line has no name"));
        if (!hasPort)
            return fail(line.fileLine, QStringLiteral("line \u201C%1\u201D has no port").arg(line.name));
        const QString identity = portIdentity(line.port, table);
        if (portSeen.contains(identity)) {
            const PlantLine &other = plant.lines[portSeen.value(identity)];
            return fail(lineOf(t.at_path("port").node()->source()),
                        QStringLiteral("port \u201C%1\u201D is also the port of \u201C%2\u201D (line %3)")
                            .arg(shown(line.port), other.name).arg(other.fileLine));
        }
        line.tls = mergedTls(line.tls, fileTls);
        portSeen.insert(identity, int(plant.lines.size()));
        plant.lines.append(line);
    }
    plant.historyGiven = history.historyGiven;
    plant.historyDatabase = history.historyDatabase;
    plant.historyRequire = history.historyRequire;
    plant.historyLine = history.historyLine;
    *out = plant;
    return true;
}

} // namespace kestran
