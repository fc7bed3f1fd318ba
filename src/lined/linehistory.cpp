// The line server's entries in the history.
#include "linehistory.h"

#include "linedlog.h"
#include "parameters.h"
#include "valueinput.h"

namespace kestran::lined {

LineHistory::LineHistory(const history::Target &target, const QString &line, const QString &port)
    : m_target(target), m_line(line), m_port(port)
{
}

LineHistory::~LineHistory()
{
    for (Change &c : m_changes)
        finish(c, c.sent ? history::Outcome::NotVerified : history::Outcome::NotSent);
}

bool LineHistory::ready()
{
    if (!m_tried) {
        m_tried = true;
        m_recorder = history::Recorder::open(m_target, &m_why);
        if (m_recorder)
            m_recorder->setNotice([line = m_line](const QString &text) {
                logLine(LogLevel::Warning, QStringLiteral("%1: history: %2").arg(line, text));
            });
        else
            logLine(LogLevel::Warning, QStringLiteral("%1: history: nothing is recorded: %2").arg(m_line, m_why));
    }
    return m_recorder != nullptr;
}

bool LineHistory::taken(quint64 client, const QString &who, const QString &from, int device, char index,
                        const QString &value, QString *why)
{
    if (!ready()) {
        *why = m_why;
        return !m_target.require;
    }
    if (!m_recorder->recording())
        return !m_target.require;
    auto g = m_groups.find(client);
    if (g == m_groups.end())
        g = m_groups.insert(client, history::Recorder::newGroup());
    history::Origin o;
    o.who = who;
    o.machine = from;
    o.program = QStringLiteral("kestran-lined " KESTRAN_VERSION);
    o.port = m_port;
    o.line = m_line;
    Change c;
    c.device = device;
    c.index = index;
    c.value = value;
    const history::ChangeValue v{device, scriptName(*parameterFor(QLatin1Char(index))), m_lastReply.value({device, index}),
                                 value};
    if (!m_recorder->beginChange(*g, o, {v}, &c.pending, why))
        return !m_recorder->require();
    m_changes.push_back(c);
    return true;
}

void LineHistory::sent(int device, char index, const QString &value)
{
    for (Change &c : m_changes)
        if (!c.sent && c.device == device && c.index == index && c.value == value) {
            c.sent = true;
            return;
        }
}

void LineHistory::replied(int device, char index, const QString &value)
{
    m_lastReply.insert({device, index}, value);
    for (auto it = m_changes.begin(); it != m_changes.end();) {
        if (it->sent && it->device == device && it->index == index) {
            finish(*it, it->value == value ? history::Outcome::Verified : history::Outcome::ReadOtherwise);
            it = m_changes.erase(it);
        } else {
            ++it;
        }
    }
}

void LineHistory::lineLost()
{
    m_lastReply.clear();
    for (auto it = m_changes.begin(); it != m_changes.end();) {
        if (it->sent) {
            finish(*it, history::Outcome::NotVerified);
            it = m_changes.erase(it);
        } else {
            ++it;
        }
    }
}

void LineHistory::clientGone(quint64 client)
{
    m_groups.remove(client);
}

void LineHistory::finish(Change &c, history::Outcome o)
{
    if (m_recorder)
        m_recorder->finish(c.pending, {o});
}

} // namespace kestran::lined
