// kestran-ctl's entries in the history.
#include "recording.h"

#include "cli.h"
#include "restoreplan.h"

#include <QCoreApplication>
#include <QCryptographicHash>

namespace kestran::cli {

namespace {

history::Outcome outcomeOf(StepResult r)
{
    switch (r) {
    case StepResult::Verified: return history::Outcome::Verified;
    case StepResult::Mismatch: return history::Outcome::ReadOtherwise;
    case StepResult::NoAnswer:
    case StepResult::NotVerified: return history::Outcome::NotVerified;
    case StepResult::NotSent: break;
    }
    return history::Outcome::NotSent;
}

} // namespace

Recording::Recording(const Invocation &inv, const history::Target *plantTarget) : m_inv(inv)
{
    const QString given = !inv.history.isEmpty() ? inv.history : qEnvironmentVariable("KESTRAN_HISTORY");
    if (given.isEmpty() && plantTarget)
        m_target = *plantTarget;
    else
        m_targetOk = history::parseTarget(given, &m_target, &m_targetWhy);
    // A plant that requires a record keeps requiring it under another database.
    if (plantTarget && plantTarget->require)
        m_target.require = true;
    m_group = history::Recorder::newGroup();
}

Recording::~Recording() = default;

QString devicesText(const QVector<QPair<QString, QVector<SavedDevice>>> &lines)
{
    QStringList parts;
    for (const auto &l : lines) {
        QStringList numbers;
        for (const SavedDevice &d : l.second)
            numbers << QString::number(d.device);
        const QString list = numbers.join(QLatin1Char(','));
        parts << (l.first.isEmpty() ? list : l.first + QLatin1Char(':') + list);
    }
    return parts.join(QLatin1Char(';'));
}

namespace {
Recording *theRecording = nullptr;
bool plantGiven = false;
history::Target plantTarget;
}

int usePlantHistory(const QString &path, const Plant &plant)
{
    if (!plant.historyGiven)
        return kDone;
    QString why;
    plantTarget.require = plant.historyRequire;
    if (!history::parseTarget(plant.historyDatabase, &plantTarget, &why)) {
        error(QStringLiteral("%1:%2: [history] database: %3").arg(path).arg(plant.historyLine).arg(why));
        return kUsage;
    }
    plantGiven = true;
    return kDone;
}

Recording &recording(const Invocation &inv)
{
    // Closed with the application: the SQL drivers go with it.
    static std::once_flag once;
    std::call_once(once, [&inv] {
        theRecording = new Recording(inv, plantGiven ? &plantTarget : nullptr);
        qAddPostRoutine([] {
            delete theRecording;
            theRecording = nullptr;
        });
    });
    return *theRecording;
}

bool Recording::ready()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_tried) {
        m_tried = true;
        if (!m_targetOk)
            m_openWhy = m_targetWhy;
        else
            m_recorder = history::Recorder::open(m_target, &m_openWhy);
        if (m_recorder)
            m_recorder->setNotice([](const QString &text) { error(QStringLiteral("history: ") + text); });
        else if (!m_target.require)
            error(QStringLiteral("history: nothing is recorded: %1").arg(m_openWhy));
    }
    return m_recorder != nullptr;
}

history::Recorder *Recording::recorder(QString *why)
{
    if (!m_targetOk) {
        *why = m_targetWhy;
        return nullptr;
    }
    m_tried = true;
    if (!m_recorder)
        m_recorder = history::Recorder::open(m_target, why);
    return m_recorder.get();
}

bool Recording::begin(int device, const QString &port, const QString &line, const QVector<WriteStep> &steps,
                      const QMap<char, QString> &before, history::Pending *pending)
{
    pending->recorded = false;
    if (steps.isEmpty())
        return true;
    if (!records()) {
        if (!m_target.require)
            return true;
        error(QStringLiteral("device %1: nothing written: the plant requires a record of every change, and the "
                             "history is switched off (none)").arg(device));
        return false;
    }
    if (!m_targetOk) {
        error(QStringLiteral("KESTRAN_HISTORY: %1; nothing written").arg(m_targetWhy));
        return false;
    }
    if (!ready()) {
        if (!m_target.require)
            return true;
        error(QStringLiteral("device %1: nothing written: the history must record every change and cannot: %2")
                  .arg(device).arg(m_openWhy));
        return false;
    }
    history::Origin o = history::Origin::here(QStringLiteral("kestran-ctl " KESTRAN_VERSION));
    o.port = port;
    o.line = line;
    QVector<history::ChangeValue> values;
    for (const WriteStep &s : steps)
        values.append({device, nameOf(s.index), before.value(s.index), s.field});
    QString why;
    if (m_recorder->beginChange(m_group, o, values, pending, &why) || !m_recorder->require())
        return true;
    error(QStringLiteral("device %1: nothing written: the history must record every change and cannot: %2")
              .arg(device).arg(why));
    return false;
}

void Recording::finish(const history::Pending &pending, const WriteReport &w)
{
    if (!pending.recorded || !m_recorder)
        return;
    QVector<history::Outcome> outcomes;
    for (int i = 0; i < w.steps.size(); ++i)
        outcomes.append(outcomeOf(stepResult(w, i)));
    m_recorder->finish(pending, outcomes);
}

void Recording::file(history::FileRecord::Kind kind, const QString &path, const QByteArray &bytes,
                     const QStringList &lines, const QString &devices, const QString &result)
{
    if (!ready())
        return;
    history::FileRecord f;
    f.kind = kind;
    f.file = path;
    f.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    f.lines = lines;
    f.devices = devices;
    f.result = result;
    history::Origin o = history::Origin::here(QStringLiteral("kestran-ctl " KESTRAN_VERSION));
    o.port = lines.isEmpty() ? m_inv.port : QString();
    m_recorder->recordFile(o, f);
}

} // namespace kestran::cli
