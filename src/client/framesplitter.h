#pragma once
// Splits what is heard on the line into frames for the line monitor: replies,
// read-all and write commands (of this tool or of another master), and
// anything else as raw bytes.
#include <QByteArray>
#include <QString>
#include <QVector>

namespace kestran {

struct LineFrame {
    enum Kind { Reply, ReadAll, Write, Other } kind = Other;
    QByteArray bytes;    // as heard, CR included
    int device = -1;     // Reply, ReadAll, Write
    char index = 0;      // Reply, Write: '0' .. '7'
    QString value;       // Reply, Write: the value field
};

class FrameSplitter {
public:
    // Bytes outside a frame are given out as Other once this many gather; a
    // frame this long without its carriage return is given up as Other.
    static constexpr int kMaxFrame = 32;

    QVector<LineFrame> feed(const QByteArray &bytes);
    // Gives out bytes heard outside any frame (the line went quiet).
    QVector<LineFrame> flushNoise();
    // Gives out everything held, an unfinished frame too (the end of listening).
    QVector<LineFrame> flushAll();
    // The characters of the frame being assembled, its "*" included; 0 when none has begun.
    int frameChars() const { return m_inFrame ? int(m_pending.size()) : 0; }

    static LineFrame classify(const QByteArray &frame);

private:
    void emitPending(QVector<LineFrame> *out);

    QByteArray m_pending;
    bool m_inFrame = false;   // m_pending begins with "*"
};

} // namespace kestran
