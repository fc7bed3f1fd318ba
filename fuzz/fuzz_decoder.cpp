// Differential fuzz target for the reply decoder.
//
// The input is a stream of received bytes with device-list changes between
// them. ReplyDecoder (bounded buffer) and the plain model (unbounded buffer)
// are fed the same characters with the same selected address; they must give
// the same updates in the same order, and the bounded buffer must always be
// the model's buffer cut to 16 characters. Any difference aborts.
//
// Control bytes (everything else is one received character):
//   0xF0..0xF7  select "Device-0" .. "Device-7"
//   0xF8        device text "" (no address)
//   0xF9        device text "Device-" (seven characters, no address)
//   0xFA        device text "Dev"
//   0xFB        device text "Device-X" (address that no reply uses)
//   0xFC        device text "Device-\r" (the carriage return as address)
//   0xFD lo hi  receive the 16-bit character hi:lo
//   0xFE, 0xFF  received as themselves
#include "protocol/decoder.h"
#include "protocol/frames.h"
#include "protocol/parameters.h"
#include "reference_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using kestran::ReplyDecoder;
using kestran::ReplyUpdate;
using kestran::reference::ModelDecoder;

namespace {

[[noreturn]] void fail(const char *what, size_t offset, const ReplyDecoder &decoder, const ModelDecoder &model)
{
    std::fprintf(stderr, "decoder differs from the model (%s) at input offset %zu\n"
                         "  decoder: \"%s\" tooLong=%d\n  model:   \"%s\" (length %lld)\n",
                 what, offset, qPrintable(decoder.text()), int(decoder.tooLong()),
                 qPrintable(model.buffer.left(64)), static_cast<long long>(model.buffer.size()));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ReplyDecoder decoder;
    ModelDecoder model;
    // The window reads the address afresh for every received character; here
    // the device text only changes at a control byte, so the address is
    // derived once per change.
    QString address;
    auto select = [&address](const QString &deviceText) { address = kestran::deviceAddress(deviceText); };
    select(QStringLiteral("Device-0"));

    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        QChar ch;
        if (b >= 0xF0 && b <= 0xF7) {
            select(QStringLiteral("Device-") + QChar(u'0' + (b - 0xF0)));
            continue;
        }
        switch (b) {
        case 0xF8: select(QString()); continue;
        case 0xF9: select(QStringLiteral("Device-")); continue;
        case 0xFA: select(QStringLiteral("Dev")); continue;
        case 0xFB: select(QStringLiteral("Device-X")); continue;
        case 0xFC: select(QStringLiteral("Device-\r")); continue;
        case 0xFD:
            if (i + 2 >= size)
                return 0;
            ch = QChar(char16_t(data[i + 1] | (data[i + 2] << 8)));
            i += 2;
            break;
        default:
            ch = QChar(char16_t(b));
            break;
        }

        const std::optional<ReplyUpdate> got = decoder.feed(ch, address);
        const std::optional<ReplyUpdate> want = model.feed(ch, address);
        if (!kestran::reference::sameUpdate(got, want))
            fail(got ? (want ? "other update" : "extra update") : "missing update", i, decoder, model);
        if (!kestran::reference::sameState(decoder, model))
            fail("buffer", i, decoder, model);
        if (got && (got->value.size() != 8 || !kestran::parameterFor(got->index)))
            fail("malformed update", i, decoder, model);
    }
    return 0;
}
