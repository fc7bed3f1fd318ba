// The window's entries in the history.
#include "setuprecord.h"

#include "parameters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace kestran {

namespace {

// "DEBOUNCE(0)" -> "DEBOUNCE0", as kestran-ctl names it.
QString nameOf(char index)
{
    QString name = QString::fromLatin1(parameterFor(QLatin1Char(index))->name);
    name.remove(QLatin1Char('(')).remove(QLatin1Char(')'));
    return name;
}

} // namespace

QString SetupRecord::settingsFile() const
{
#ifdef Q_OS_WIN
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
#endif
    return QDir(base).filePath(QStringLiteral("kestran-setup/history.conf"));
}

SetupRecord::SetupRecord(QObject *parent) : QObject(parent)
{
    m_replyWait.setSingleShot(true);
    m_replyWait.setInterval(1000);
    connect(&m_replyWait, &QTimer::timeout, this, &SetupRecord::finish);
    QString database = qEnvironmentVariable("KESTRAN_HISTORY");
    QFile f(settingsFile());
    if (f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        int at = 0;
        for (const QByteArray &raw : f.readAll().split('\n')) {
            ++at;
            const QString line = QString::fromUtf8(raw).section(QLatin1Char('#'), 0, 0).trimmed();
            if (line.isEmpty())
                continue;
            const QString key = line.section(QLatin1Char('='), 0, 0).trimmed();
            const QString value = line.section(QLatin1Char('='), 1).trimmed();
            if (key == QLatin1String("database") && !qEnvironmentVariableIsSet("KESTRAN_HISTORY"))
                database = value;
            else if (key == QLatin1String("require") && (value == QLatin1String("true") || value == QLatin1String("false")))
                m_target.require = value == QLatin1String("true");
            else if (m_targetOk) {
                m_targetOk = false;
                m_why = QStringLiteral("%1:%2: \u201C%3\u201D is not database = ... or require = true/false")
                            .arg(settingsFile()).arg(at).arg(line);
            }
        }
    }
    if (m_targetOk && !history::parseTarget(database, &m_target, &m_why)) {
        m_targetOk = false;
        m_why = settingsFile() + QStringLiteral(": ") + m_why;
    }
}

SetupRecord::~SetupRecord()
{
    if (m_awaiting)
        finish();
}

bool SetupRecord::ready()
{
    if (!m_tried) {
        m_tried = true;
        if (m_targetOk)
            m_recorder = history::Recorder::open(m_target, &m_why);
        if (m_recorder)
            m_recorder->setNotice([this](const QString &text) {
                if (m_notice)
                    m_notice(QStringLiteral("History: ") + text);
            });
        else if (m_notice)
            m_notice(QStringLiteral("History: nothing is recorded: ") + m_why);
    }
    return m_recorder != nullptr;
}

void SetupRecord::portOpened(const QString &port)
{
    ready();   // the store is opened now, not in the first Setup
    m_port = port;
    m_lastRead.clear();
}

void SetupRecord::replied(int device, char index, const QString &value)
{
    m_lastRead.insert({device, index}, value);
    if (!m_awaiting)
        return;
    m_answers.insert({device, index}, value);
    for (int i = 0; i < m_indices.size(); ++i)
        if (m_sent[i] && !m_answers.contains({m_pending.values[i].device, m_indices[i]}))
            return;
    finish();
}

void SetupRecord::setupStarts(int device, const QVector<QPair<char, QString>> &planned)
{
    if (m_awaiting)
        finish();
    m_pending = history::Pending{};
    m_pending.group = history::Recorder::newGroup();
    m_indices.clear();
    m_sent.clear();
    QVector<history::ChangeValue> values;
    for (const auto &p : planned)
        values.append({device, nameOf(p.first), m_lastRead.value({device, p.first}), p.second});
    if (record(values))
        for (const auto &p : planned) {
            m_indices.append(p.first);
            m_sent.append(false);
        }
}

bool SetupRecord::record(const QVector<history::ChangeValue> &values)
{
    if (values.isEmpty() || !ready() || !m_recorder->recording())
        return false;
    history::Origin o = history::Origin::here(QStringLiteral("kestran-setup " KESTRAN_VERSION));
    o.port = m_port;
    history::Pending one;
    QString why;
    if (!m_recorder->beginChange(m_pending.group, o, values, &one, &why))
        return false;
    m_pending.origin = o;
    m_pending.values += values;
    m_pending.recorded = true;
    return true;
}

bool SetupRecord::sending(int device, char index, const QString &field)
{
    for (int i = 0; i < m_indices.size(); ++i) {
        const history::ChangeValue &v = m_pending.values[i];
        if (!m_sent[i] && m_indices[i] == index && v.device == device && v.sent == field) {
            m_sent[i] = true;
            return true;
        }
    }
    // Not as planned: on record now, before it goes out.
    if (!record({{device, nameOf(index), m_lastRead.value({device, index}), field}}))
        return !(ready() && m_recorder->recording() ? m_recorder->require() : m_target.require);
    m_indices.append(index);
    m_sent.append(true);
    return true;
}

void SetupRecord::setupEnds(bool readAllSent)
{
    if (m_indices.isEmpty())
        return;
    m_answers.clear();
    m_awaiting = true;
    if (readAllSent)
        m_replyWait.start();
    else
        finish();
}

void SetupRecord::finish()
{
    m_replyWait.stop();
    if (!m_awaiting)
        return;
    m_awaiting = false;
    QVector<history::Outcome> outcomes;
    for (int i = 0; i < m_indices.size(); ++i) {
        const auto key = qMakePair(m_pending.values[i].device, m_indices[i]);
        outcomes.append(!m_sent[i] ? history::Outcome::NotSent
                        : !m_answers.contains(key) ? history::Outcome::NotVerified
                        : m_answers.value(key) == m_pending.values[i].sent ? history::Outcome::Verified
                                                                            : history::Outcome::ReadOtherwise);
    }
    if (m_recorder && m_pending.recorded)
        m_recorder->finish(m_pending, outcomes);
    m_indices.clear();
    m_sent.clear();
    m_pending = history::Pending{};
}

} // namespace kestran
