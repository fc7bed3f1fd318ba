#pragma once
// A plain model of the reply decoder: an unbounded buffer and the receive rules
// written out one by one, with nothing optimised. ReplyDecoder must produce the
// same updates, in the same order, for any stream of characters and any
// sequence of selected addresses. Used by the protocol tests and the fuzzer.
#include "protocol/decoder.h"

#include <QString>
#include <optional>

namespace kestran::reference {

class ModelDecoder {
public:
    std::optional<ReplyUpdate> feed(QChar ch, const QString &address)
    {
        buffer.append(ch);
        const QString &a = buffer; // the buffer with the character appended

        if (ch == QLatin1Char('*')) {
            buffer = QStringLiteral("*");
            return std::nullopt;
        }
        if (ch == QLatin1Char('\r') && a.mid(1, 1) == address) {
            std::optional<ReplyUpdate> update;
            if (a.size() == 15 && a.mid(2, 1) == QLatin1String("C")) {
                for (QChar index : QStringLiteral("01234567")) {
                    if (a.mid(4, 1) == QString(index))
                        update = ReplyUpdate{index, a.mid(6, 8)};
                }
            }
            buffer.clear();
            return update;
        }
        return std::nullopt; // the buffer keeps the character
    }

    QString buffer;
};

// The same outcome in both? Used after every fed character.
inline bool sameUpdate(const std::optional<ReplyUpdate> &x, const std::optional<ReplyUpdate> &y)
{
    return x.has_value() == y.has_value() && (!x || (x->index == y->index && x->value == y->value));
}

// The bounded decoder's visible state agrees with the model's unbounded buffer.
inline bool sameState(const ReplyDecoder &decoder, const ModelDecoder &model)
{
    return decoder.text() == QStringView(model.buffer).left(16)
        && decoder.tooLong() == (model.buffer.size() > 16);
}

} // namespace kestran::reference
