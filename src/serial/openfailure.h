#pragma once
// Why a port did not open, in plain words: the cause, then what to do about
// it. The window and kestran-ctl say the same; only the advice that names
// their own way of listing ports and trying again differs.
#include "serialcontrol.h"
#include <QString>

namespace kestran {

enum class Audience { Window, CommandLine };

struct OpenFailure {
    QString cause;    // "Could not open COM7: the device does not exist (No such file or directory)."
    QString remedy;   // "Check that the adapter is plugged in." ("" when there is nothing to advise)

    // Cause and remedy as one message, the remedy after `separator`.
    QString text(const QString &separator) const
    {
        return remedy.isEmpty() ? cause : cause + separator + remedy;
    }
};

// For a control whose open has just failed. `path` is the device the port
// text named ("" when unknown), for the owning group in a permission problem.
OpenFailure describeOpenFailure(const SerialControl &control, const QString &portText,
                                const QString &path, Audience audience);

} // namespace kestran
