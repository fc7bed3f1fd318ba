#pragma once
// How long a reader of replies leaves the line alone after taking what had
// arrived, so that its next look finds several bytes instead of one: at 19200
// baud a byte comes every 520.8 us, and waking for each one costs more than
// the byte is worth. The line's driver keeps what comes meanwhile.
//
// A reply is seen at most kGatherMaxNs after its last byte (plus the time it
// takes to wake): the rule is that none waits longer than 2 ms. Inside a frame
// the look comes no later than its carriage return can, at wire speed.
//
// Where the line can hold bytes back until a count of them waits, the reader
// asks for the rest of the answer instead (bytesToCome): a whole answer then
// wakes it once, at its last byte. Should the rest not come by its time at
// wire speed plus kWantSlackNs (a reply cut short, a slow device), the reader
// looks at every arrival again, as above, until more of the answer comes.
#include "frames.h"

#include <QtGlobal>

namespace kestran {

struct ReplyGather {
    static constexpr qint64 kByteNs = kestran::kByteNs;
#ifdef Q_OS_WIN
    // Windows sleeps in timer ticks of up to 15.6 ms: there every arrival is taken at once.
    static constexpr qint64 kGatherMaxNs = 0;
#else
    static constexpr qint64 kGatherMaxNs = 1500000;
#endif
    static constexpr int kFrameLength = 15;      // "*", 13 characters, CR
    static constexpr int kAnswerFrames = 8;      // a read-all is answered by one frame per index
    static constexpr qint64 kWantSlackNs = 2000000;

    // The bytes still to come of a read-all's answer, `frames` of it whole and
    // `frameChars` of the next received (0: none begun).
    static int bytesToCome(int frames, int frameChars)
    {
        const int left = kAnswerFrames - frames;
        if (left <= 0)
            return 0;
        if (frameChars >= 1 && frameChars < kFrameLength)
            return kFrameLength - frameChars + (left - 1) * kFrameLength;
        return left * kFrameLength;
    }

    // `frameChars`: the characters of the frame being assembled, its "*"
    // included; 0 when none has begun (between frames, or only noise so far).
    static qint64 delayNs(int frameChars)
    {
        if (frameChars >= 1 && frameChars < kFrameLength)
            return qMin(kGatherMaxNs, qint64(kFrameLength - frameChars) * kByteNs);
        return kGatherMaxNs;
    }
};

} // namespace kestran
