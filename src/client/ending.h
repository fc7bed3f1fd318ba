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

    bool stopped() const { return lost || interrupted; }
};

} // namespace kestran
