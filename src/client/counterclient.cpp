#include "counterclient.h"

#include "frames.h"
#include "linefibers.h"
#include "parameters.h"
#include "replygather.h"
#include "serialcontrol.h"
#include "valueinput.h"
#include "values.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestran {

namespace {
// Collects the pieces the frame builders write, so a frame goes out as one write.
class FrameBuffer : public FrameOutput {
public:
    explicit FrameBuffer(int device) : m_text(QStringLiteral("Device-%1").arg(device)) {}
    QString deviceText() const override { return m_text; }
    void output(const QString &piece) override { frame += piece; }
    QString frame;

private:
    QString m_text;
};

int setupPosition(char index)
{
    const auto &order = setupOrder();
    return int(std::find(order.begin(), order.end(), index) - order.begin());
}
} // namespace

QVector<char> ReadResult::missing() const
{
    QVector<char> out;
    for (const Parameter &p : parameterTable())
        if (!values.contains(p.index))
            out.append(p.index);
    return out;
}

bool holdsShape(char index, const QString &field)
{
    const Parameter *p = parameterFor(QLatin1Char(index));
    return p && isWellFormedField(field) && (!p->hasSetting || hasValueShape(p->shape, field));
}

CounterClient::CounterClient(SerialControl *line, QObject *parent)
    : QObject(parent), m_line(line)
{
    m_clock.start();
    m_deadline.setSingleShot(true);
#ifdef Q_OS_WIN
    // The window timer (WM_TIMER), never early: a precise timer there is the
    // multimedia timer, whose tick under Wine does not wake the loop.
    m_deadline.setTimerType(Qt::CoarseTimer);
#else
    m_deadline.setTimerType(Qt::PreciseTimer);
#endif
    connect(line, &SerialControl::OnComm, this, &CounterClient::onReceive);
    connect(line, &SerialControl::connectionLost, this, &CounterClient::onLost);
}

CounterClient::~CounterClient() = default;

void CounterClient::say(const ClientProgress &p)
{
    if (m_progress)
        m_progress(p);
}

bool CounterClient::send(const QByteArray &frame)
{
    if (m_lost || !m_line || !m_line->PortOpen()) {
        if (!m_lost)
            onLost(QStringLiteral("the port is closed"));
        return false;
    }
    // Whatever waits in the port now came before this command and answers
    // none of it: a late reply to an earlier one, or noise.
    m_line->setInBufferCount(0);
    m_decoder = ReplyDecoder();
    if (m_firstSentNs < 0)
        m_firstSentNs = elapsedNs();
    m_line->setOutput(QString::fromLatin1(frame));
    return true;
}

void CounterClient::onReceive()
{
    if (!m_line || m_line->CommEvent() != short(CommEventCode::Receive))
        return;
    const QString chunk = m_line->Input();
    if (chunk.isEmpty())
        return;
    m_lastByteNs = elapsedNs();
    if (m_tap)
        m_tap(chunk.toLatin1());
    if (!m_address.isEmpty() && m_into) {
        for (const QChar ch : chunk) {
            const auto update = m_decoder.feed(ch, m_address);
            if (!update)
                continue;
            m_replied = true;
            ++m_frames;
            const char index = char(update->index.unicode());
            if (isWellFormedField(update->value)) {
                m_into->values.insert(index, update->value);
                m_into->garbled.removeAll(index);
            } else if (!m_into->values.contains(index) && !m_into->garbled.contains(index)) {
                // A damaged reply is no value: it stays missing and is asked for again.
                m_into->garbled.append(index);
            }
        }
        if (!m_into->complete()) {
            const QString frame = m_decoder.text();
            const int frameChars = frame.startsWith(QLatin1Char('*')) ? int(frame.size()) : 0;
            // The rest of the answer, held back by the line until it is all there...
            holdBack(ReplyGather::bytesToCome(m_frames, frameChars), m_lastByteNs);
            if (m_holding)
                return;
            // ...or, where the line cannot, gathering in the port before the next look.
            m_gatherUntilNs = m_lastByteNs + ReplyGather::delayNs(frameChars);
            // The last reply's end is worth an early look among fibers too.
            m_endDueNs = m_into->values.size() == 7 && frameChars > 0 ? m_gatherUntilNs : -1;
        }
    }
}

void CounterClient::holdBack(int bytes, qint64 fromNs)
{
    const int want = bytes > 1 ? bytes : 1;
    if (want != m_want || (want > 1 && !m_holding)) {
        m_holding = m_line && m_line->setReceiveWant(want) && want > 1;
        m_want = m_holding ? want : 1;
    }
    m_wantDueNs = m_holding ? fromNs + qint64(want) * kByteNs + ReplyGather::kWantSlackNs : -1;
}

void CounterClient::interrupt()
{
    m_interrupted = true;
}

void CounterClient::onLost(const QString &reason)
{
    if (m_lost)
        return;
    m_lost = true;
    m_lostReason = reason;
    m_lostFault = m_line ? m_line->fault() : SerialFault::Lost;
}

Ending CounterClient::endingNow(bool lost) const
{
    Ending e;
    e.lost = lost;
    e.interrupted = m_interrupted && !lost;
    if (lost) {
        e.fault = m_lostFault;
        e.reason = m_lostReason;
    }
    e.written = m_written;
    return e;
}

void CounterClient::waitEvents(qint64 ms, bool look)
{
    if (LineFibers::inFiber()) {
        // The thread takes in every line's events and comes back here: at its
        // next round when the line must be looked at, else when something
        // comes or the time is up.
        if (look) {
            const qint64 endDue = m_endDueNs;
            m_endDueNs = -1;
            LineFibers::wait(endDue >= 0 ? std::max<qint64>(0, endDue - elapsedNs()) : -1);
        } else {
            LineFibers::sleep(std::max<qint64>(0, ms) * 1000000);
        }
        return;
    }
    // Whatever ends the pass (a receive event, the line lost, an interruption
    // queued from another thread, the deadline) is an event of this thread,
    // so nothing has to wake the loop on purpose.
    m_deadline.start(int(qBound<qint64>(0, ms, qint64(24) * 3600 * 1000)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void CounterClient::fold(ReadResult &total, ReadMode mode, QSet<char> *came)
{
    ReadResult &raw = *m_into;
    for (auto it = raw.values.cbegin(); it != raw.values.cend(); ++it) {
        came->insert(it.key());
        if (mode == ReadMode::AsSent || holdsShape(it.key(), it.value())) {
            total.values.insert(it.key(), it.value());
            total.shapeless.remove(it.key());
        } else if (!total.values.contains(it.key())) {
            // Without its shape it would make a backup that no restore takes: missing, with its reason.
            total.shapeless.insert(it.key(), it.value());
        }
        total.garbled.removeAll(it.key());
    }
    for (char i : std::as_const(raw.garbled))
        if (!total.values.contains(i) && !total.shapeless.contains(i) && !total.garbled.contains(i))
            total.garbled.append(i);
    raw.values.clear();
    raw.garbled.clear();
}

ReadResult CounterClient::read(int device, const ReadOptions &options, ReadMode mode)
{
    ReadResult result;
    result.device = device;
    ReadResult raw;
    FrameBuffer frame(device);
    SendReadAll(frame);

    m_address = deviceAddress(frame.deviceText());
    m_into = &raw;
    bool lost = false;
    QSet<char> came;   // the indices whose value fields came in this attempt
    for (int attempt = 0; attempt <= std::max(0, options.retries) && !result.complete(); ++attempt) {
        if (m_interrupted)
            break;
        // A probe asks once: a device that says nothing to it is not there.
        if (attempt > 0 && mode == ReadMode::Probe && !result.answered())
            break;
        if (attempt > 0)
            say({ClientProgress::AskingAgain, device, int(result.values.size()), 8});
        if (!send(frame.frame.toLatin1())) {
            lost = true;
            break;
        }
        ++result.attempts;
        m_replied = false;
        m_frames = 0;
        came.clear();
        const qint64 start = elapsedNs();
        // The whole answer, from when the command has left.
        holdBack(ReplyGather::bytesToCome(0, 0), start + qint64(frame.frame.size()) * kByteNs);
        for (;;) {
            fold(result, mode, &came);
            // All eight came, with their shapes or not: waiting longer brings nothing.
            if (result.complete() || came.size() == 8 || m_lost || m_interrupted)
                break;
            qint64 until = start + qint64(options.timeoutMs) * 1000000;
            if (m_replied)
                until = std::min(until, m_lastByteNs + qint64(options.quietMs) * 1000000);
            const qint64 now = elapsedNs();
            if (now >= until)
                break;
            qint64 waitUntil = until;
            if (m_holding) {
                if (now < m_wantDueNs)
                    waitUntil = std::min(until, m_wantDueNs);
                else
                    holdBack(1, now);   // overdue: every arrival is looked at again
            }
            bool look = false;
            if (!m_holding && m_gatherUntilNs > now) {
                // Outside the event loop: the port's driver holds what comes
                // meanwhile. Among fibers the thread's round does the same for all.
                if (!LineFibers::inFiber())
                    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(m_gatherUntilNs, until) - now));
                m_gatherUntilNs = 0;
                look = true;
            }
            waitEvents((waitUntil - elapsedNs() + 999999) / 1000000, look);
        }
        m_gatherUntilNs = 0;
        holdBack(1, 0);
        if (m_lost) {
            lost = true;
            break;
        }
    }
    result.ending = endingNow(lost);
    m_address.clear();
    m_into = nullptr;
    return result;
}

WriteReport CounterClient::write(int device, QVector<WriteStep> steps, const ReadOptions &verify)
{
    WriteReport report;
    report.device = device;
    std::stable_sort(steps.begin(), steps.end(), [](const WriteStep &a, const WriteStep &b) {
        return setupPosition(a.index) < setupPosition(b.index);
    });
    report.steps = steps;
    for (const WriteStep &step : steps) {
        if (m_interrupted) {
            report.ending = endingNow(false);
            return report;
        }
        FrameBuffer frame(device);
        SendWrite(frame, QLatin1Char(step.index), step.field);
        if (!send(frame.frame.toLatin1())) {
            report.ending = endingNow(true);
            return report;
        }
        ++report.sent;
        m_written = true;
        say({ClientProgress::Sent, device, report.sent, int(steps.size())});
        // The counter stores the value meanwhile; nothing may be sent before the pause is over.
        const qint64 until = elapsedNs() + qint64(kSetupPauseMs) * 1000000;
        while (!m_lost && !m_interrupted && elapsedNs() < until)
            waitEvents((until - elapsedNs() + 999999) / 1000000);
        if (m_lost) {
            report.ending = endingNow(true);
            return report;
        }
    }
    if (m_interrupted) {
        report.ending = endingNow(false);
        return report;
    }
    report.readBack = read(device, verify);
    // An interrupted read-back still verifies what it brought.
    report.ending = report.readBack.ending;
    if (report.ending.lost)
        return report;
    for (const WriteStep &step : steps) {
        const auto it = report.readBack.values.constFind(step.index);
        if (it == report.readBack.values.cend())
            report.unverified.append(step.index);
        else if (*it != step.field)
            report.mismatches.append({step.index, step.field, *it});
    }
    return report;
}

void CounterClient::listen(int ms, const std::function<bool()> &stop, int pollMs)
{
    const qint64 until = ms < 0 ? -1 : elapsedNs() + qint64(ms) * 1000000;
    while (!m_lost && !(stop && stop())) {
        qint64 wait = pollMs;
        if (until >= 0) {
            const qint64 left = (until - elapsedNs() + 999999) / 1000000;
            if (left <= 0)
                break;
            wait = std::min<qint64>(wait, left);
        }
        waitEvents(wait);
    }
}

} // namespace kestran
