#pragma once
// How an operation on a line ended: run to its end, stopped by a lost line
// (and why), or stopped by CounterClient::interrupt(). Every result carries
// one, filled when the operation stops, so the result alone tells.
#include "serialcontrol.h"

#include <QString>

namespace kestran {

struct Ending {
    bool lost = false;                       // the line went away; nothing was sent after
    bool interrupted = false;                // stopped by interrupt(); nothing more was sent
    SerialFault fault = SerialFault::None;   // lost: what the line said of its loss (Busy: a
                                             // gateway whose port another client holds)
    QString reason;                          // lost: the same in plain words
    bool written = false;                    // a write had been handed to the line before the end

    bool stopped() const { return lost || interrupted; }
    // Lost to a gateway's refusal, known to have let nothing change on the
    // line: its port held by another client, a line server's refusal of this
    // client's write or of the connection (each said so, so nothing of ours
    // was passed on), or a connection closed at our first bytes when those
    // were no write (a TLS gateway closes a plain client so; a read changes
    // nothing either way). A close after a write went out may have come after
    // it reached the line: a loss like any other.
    bool refused() const
    {
        switch (fault) {
        case SerialFault::Busy:
        case SerialFault::NotAllowed:
        case SerialFault::Unavailable:
            return lost;
        case SerialFault::ClosedUnanswered:
            return lost && !written;
        default:
            return false;
        }
    }
};

} // namespace kestran
