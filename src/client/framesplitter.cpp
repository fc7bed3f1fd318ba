#include "framesplitter.h"

#include "decoder.h"
#include "frames.h"

namespace kestran {

LineFrame FrameSplitter::classify(const QByteArray &frame)
{
    LineFrame f;
    f.bytes = frame;
    if (frame.size() < 2 || frame[0] != '*' || frame[1] < '0' || frame[1] > '7')
        return f;
    const QChar address = QLatin1Char(frame[1]);
    const int device = frame[1] - '0';
    // Replies by the very rules the window decodes them with.
    ReplyDecoder decoder;
    std::optional<ReplyUpdate> update;
    for (const char c : frame)
        if (auto u = decoder.feed(QLatin1Char(c), QString(address)))
            update = u;
    if (update) {
        f.kind = LineFrame::Reply;
        f.device = device;
        f.index = char(update->index.unicode());
        f.value = update->value;
        return f;
    }
    if (frame == readAllFrame(address)) {
        f.kind = LineFrame::ReadAll;
        f.device = device;
        return f;
    }
    if (frame.size() == 15 && frame[2] == 'W' && frame[3] == ':' && frame[4] >= '0' && frame[4] <= '7'
        && frame[5] == '=' && frame[14] == kCR) {
        f.kind = LineFrame::Write;
        f.device = device;
        f.index = frame[4];
        f.value = QString::fromLatin1(frame.mid(6, 8));
    }
    return f;
}

void FrameSplitter::emitPending(QVector<LineFrame> *out)
{
    if (!m_pending.isEmpty()) {
        LineFrame other;
        other.bytes = m_pending;
        out->append(m_inFrame && m_pending.endsWith(kCR) ? classify(m_pending) : other);
    }
    m_pending.clear();
    m_inFrame = false;
}

QVector<LineFrame> FrameSplitter::feed(const QByteArray &bytes)
{
    QVector<LineFrame> out;
    for (const char c : bytes) {
        if (c == '*') {
            emitPending(&out);
            m_inFrame = true;
            m_pending += c;
            continue;
        }
        m_pending += c;
        if (m_inFrame && c == kCR)
            emitPending(&out);
        else if (m_pending.size() >= kMaxFrame)
            emitPending(&out);
    }
    return out;
}

QVector<LineFrame> FrameSplitter::flushNoise()
{
    QVector<LineFrame> out;
    if (!m_inFrame)
        emitPending(&out);
    return out;
}

QVector<LineFrame> FrameSplitter::flushAll()
{
    QVector<LineFrame> out;
    emitPending(&out);
    return out;
}

} // namespace kestran
