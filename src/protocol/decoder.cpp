#include "decoder.h"
#include "frames.h"

namespace kestran {

namespace {
// A reply frame is exactly this long, its carriage return included.
constexpr qsizetype kFrameLength = 15;
// A longer buffer can never decode; this much of it is kept.
constexpr qsizetype kKeptLength = kFrameLength + 1;
}

std::optional<ReplyUpdate> ReplyDecoder::feed(QChar ch, const QString &address)
{
    if (ch == QLatin1Char('*')) {
        // Frame start: whatever was assembled before is dropped.
        m_buf.truncate(0); // keeps the allocation
        m_buf.append(ch);
        m_tooLong = false;
        return std::nullopt;
    }

    // Append. Beyond kKeptLength characters only the fact that the buffer is
    // too long matters: its second character is already fixed.
    if (m_buf.size() < kKeptLength)
        m_buf.append(ch);
    else
        m_tooLong = true;

    if (ch != QLatin1Char(kCR))
        return std::nullopt;

    // A carriage return ends a frame only when the buffer's second character
    // (empty when there is none) is the address selected now. Otherwise it
    // stays in the buffer until the next "*".
    if (m_buf.mid(1, 1) != address)
        return std::nullopt;

    std::optional<ReplyUpdate> update;
    if (!m_tooLong && m_buf.size() == kFrameLength && m_buf[2] == QLatin1Char('C')) {
        const QChar index = m_buf[4];
        if (index.unicode() >= u'0' && index.unicode() <= u'7')
            update = ReplyUpdate{index, m_buf.mid(6, 8)};
    }
    // A frame end of the selected device always empties the buffer.
    m_buf.truncate(0);
    m_tooLong = false;
    return update;
}

} // namespace kestran
