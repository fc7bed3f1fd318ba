#include "replyshaper.h"

#include <algorithm>
#include <cstdio>

namespace kestran::sim {

namespace {
constexpr qint64 kSplitGapNs = 300000;   // lets a reader see each piece on its own
} // namespace

int SendStats::replyTotal() const
{
    int n = 0;
    for (const auto &row : replies)
        for (int v : row)
            n += v;
    return n;
}

QByteArray printableFrame(const QByteArray &frame)
{
    QByteArray out;
    for (char c : frame) {
        if (c == '\r')
            out += "<CR>";
        else if (c >= 32 && c < 127)
            out += c;
        else
            out += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
    }
    return out;
}

ReplyShaper::ReplyShaper(const LineOptions &options)
    : m_options(options), m_rng(options.seed), m_splitRng(options.seed ^ 0x9e3779b97f4a7c15ULL)
{
}

qint64 ReplyShaper::heard(qint64 at, int count)
{
    if (!m_options.pace || !m_options.paceCommands)
        return at;
    // The tool's bytes took their wire time too; a pty delivers them at once.
    m_rxTail = std::max(m_rxTail, at) + qint64(count) * kByteNs;
    return m_rxTail;
}

QByteArray ReplyShaper::shape(const QList<QByteArray> &replies, SendStats &stats)
{
    QByteArray out;
    std::uniform_real_distribution<double> chance(0, 1);
    for (QByteArray frame : replies) {
        ++stats.generated;
        const double noise = chance(m_rng), drop = chance(m_rng), corrupt = chance(m_rng);
        if (noise < m_options.noise) {
            const int n = 1 + int(m_rng() % 4);
            for (int i = 0; i < n; ++i) {
                char c;
                do
                    c = char(m_rng() & 0xff);
                while (c == '*' && !m_options.noiseMayContainStar);
                out += c;
            }
            stats.noiseBytes += n;
        }
        if (drop < m_options.drop) {
            ++stats.dropped;
            if (m_options.verbose)
                fprintf(stderr, "   dropped %s\n", printableFrame(frame).constData());
            continue;
        }
        if (corrupt < m_options.corrupt) {
            ++stats.corrupted;
            frame = corruptFrame(frame);
        }
        out += frame;
    }
    return out;
}

// One character changed, lost or added; the "*" and the CR stay, so the
// damage never spreads into the next frame.
QByteArray ReplyShaper::corruptFrame(QByteArray frame)
{
    const int kind = int(m_rng() % 3);
    const int pos = 1 + int(m_rng() % quint64(frame.size() - 2));
    char c;
    do
        c = char(m_rng() & 0xff);
    while (c == '*' || c == '\r' || (kind == 0 && c == frame[pos]));
    if (kind == 0)
        frame[pos] = c;
    else if (kind == 1)
        frame.remove(pos, 1);
    else
        frame.insert(pos, c);
    if (m_options.verbose)
        fprintf(stderr, "   corrupted %s\n", printableFrame(frame).constData());
    return frame;
}

void ReplyShaper::enqueue(const QByteArray &bytes, qint64 earliest)
{
    if (bytes.isEmpty())
        return;
    const qint64 t = std::max(m_tail, earliest);
    if (m_options.pace) {
        // A byte is there once its stop bit is.
        m_queue.push_back({t + kByteNs, kByteNs, bytes});
        m_tail = t + qint64(bytes.size()) * kByteNs;
    } else if (m_options.split) {
        qint64 due = t;
        for (int i = 0; i < bytes.size();) {
            const int n = 1 + int(m_splitRng() % 6);
            m_queue.push_back({due, 0, bytes.mid(i, n)});
            i += n;
            due += kSplitGapNs;
        }
        m_tail = due;
    } else {
        m_queue.push_back({t, 0, bytes});
        m_tail = t;
    }
}

qint64 ReplyShaper::nextDue() const
{
    const Run &r = m_queue.front();
    return r.due + qint64(r.taken) * r.step;
}

QByteArray ReplyShaper::takeDue(qint64 now)
{
    QByteArray out;
    while (!m_queue.empty() && nextDue() <= now) {
        Run &r = m_queue.front();
        qsizetype n = r.bytes.size() - r.taken;
        if (r.step > 0)
            n = std::min<qsizetype>(n, qsizetype((now - nextDue()) / r.step) + 1);
        out.append(r.bytes.constData() + r.taken, n);
        r.taken += n;
        if (r.taken < r.bytes.size())
            break;
        const bool piece = r.step == 0;
        m_queue.pop_front();
        // Split pieces go out one write each, so that a reader sees them apart.
        if (piece)
            break;
    }
    return out;
}

void ReplyShaper::putBack(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        m_queue.push_front({0, 0, bytes});
}

void ReplyShaper::clear()
{
    m_queue.clear();
    m_tail = 0;
}

} // namespace kestran::sim
