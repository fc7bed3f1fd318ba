#pragma once
// How an operation on a line ended: run to its end, stopped by a lost line
// (and why), or stopped by CounterClient::interrupt(). Every result carries
// one, filled when the operation stops, so the result alone tells.
#include "serialcontrol.h"

#include <QString>

namespace kestran {

// A gateway that refused us (its port held by another client, or TLS spoken
// to it by a plain client, which it closes at our first bytes) passed nothing
// on to the line: the port cannot be used.
inline bool gatewayRefused(SerialFault fault)
{
    return fault == SerialFault::Busy || fault == SerialFault::TlsMismatch;
}

struct Ending {
    bool lost = false;                       // the line went away; nothing was sent after
    bool interrupted = false;                // stopped by interrupt(); nothing more was sent
    SerialFault fault = SerialFault::None;   // lost: what the line said of its loss (Busy: a
                                             // gateway whose port another client holds)
    QString reason;                          // lost: the same in plain words

    bool stopped() const { return lost || interrupted; }
    // Lost to a gateway's refusal: nothing that was sent reached the line.
    bool refused() const { return lost && gatewayRefused(fault); }
};

} // namespace kestran
