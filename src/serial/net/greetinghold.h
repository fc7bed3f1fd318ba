#pragma once
// Holds back the first bytes of a connection (or the first after a command of
// ours) while they may still become the gateway's refusal, and hands them on
// as the line's once they cannot, or once nothing more has come for a while.
#include "gatewayfaults.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

namespace kestran {

class GreetingHold {
public:
    // `release` gets held bytes that turned out to be the line's when the
    // hold time passed with nothing more.
    GreetingHold(QObject *owner, std::function<void(QByteArray)> release);

    // What comes next is looked at: at the start of a connection, and after
    // each command (a line server answers a write it does not allow).
    void arm();
    // Held bytes are dropped; what comes next is still looked at if armed.
    void forgetHeld();
    // Nothing is looked at or held any more.
    void drop();
    bool armed() const { return m_armed; }

    // Bytes that came while armed. Returns what is the line's now (possibly
    // with bytes held before); a refusal is set in `refusal`, and none of it
    // is returned.
    QByteArray take(const QByteArray &bytes, std::optional<gateway::Verdict> *refusal);

    static constexpr int kHoldMs = 200;   // at most, before held bytes count as the line's

private:
    bool m_armed = false;
    QByteArray m_held;
    QTimer m_timer;
};

} // namespace kestran
