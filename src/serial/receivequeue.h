#pragma once
// What the line has delivered and Input has not handed out yet. Characters are
// taken from the front without moving the rest: the consumed head is dropped
// only once it is large, and a drained queue keeps its allocation, so a line
// that delivers one byte at a time neither copies nor allocates per byte.
#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace kestran {

class ReceiveQueue {
public:
    qsizetype size() const { return m_bytes.size() - m_head; }

    void append(const QByteArray &chunk)
    {
        if (m_head >= kCompactAt && m_head * 2 >= m_bytes.size()) {
            m_bytes.remove(0, m_head);
            m_head = 0;
        }
        m_bytes.append(chunk);
    }

    // Up to `max` characters (all that wait when `max` is 0), one per byte.
    QString take(qsizetype max)
    {
        const qsizetype avail = size();
        if (avail <= 0)
            return QString();
        const qsizetype n = max > 0 ? qMin(max, avail) : avail;
        const QString out = QString::fromLatin1(m_bytes.constData() + m_head, n);
        m_head += n;
        if (m_head == m_bytes.size()) {
            m_bytes.truncate(0);
            m_head = 0;
        }
        return out;
    }

    void clear()
    {
        m_bytes.clear();
        m_head = 0;
    }

private:
    // The consumed head is dropped once it is both this large and more than
    // half of the queue.
    static constexpr qsizetype kCompactAt = 4096;
    QByteArray m_bytes;
    qsizetype m_head = 0;
};

} // namespace kestran
