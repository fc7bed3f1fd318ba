#pragma once
// The reply decoder's frame buffer: characters in, at most one window update out.
#include <QChar>
#include <QString>
#include <optional>

namespace kestran {

struct ReplyUpdate {
    QChar index;     // '0' .. '7'
    QString value;   // the eight characters at positions 7 to 14, unchanged
};

// Assembles reply frames one received character at a time. The buffer restarts
// at every "*"; a carriage return ends a frame only when the buffer's second
// character equals the selected device address, and such a frame end always
// empties the buffer; a 15-character frame with "C" at position 3 and an index
// "0".."7" at position 5 yields an update.
//
// The buffer is bounded: once it holds more than 15 characters it can never
// decode, and until the next "*" or frame end only its second character and the
// fact that it is too long matter, so memory stays constant under endless noise.
class ReplyDecoder {
public:
    // `address` is the selected device's address as read now (may be empty).
    std::optional<ReplyUpdate> feed(QChar ch, const QString &address);

    // What the rules see: the buffer, cut to its first 16 characters once too long.
    QString text() const { return m_buf; }
    // True when characters after the 16th were dropped (the frame can no longer decode).
    bool tooLong() const { return m_tooLong; }
    bool isEmpty() const { return m_buf.isEmpty(); }

private:
    QString m_buf;
    bool m_tooLong = false;
};

} // namespace kestran
