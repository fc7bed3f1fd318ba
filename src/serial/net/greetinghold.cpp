#include "greetinghold.h"

#include <utility>

namespace kestran {

GreetingHold::GreetingHold(QObject *owner, std::function<void(QByteArray)> release)
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, owner, [this, release = std::move(release)] {
        if (!m_armed)
            return;
        m_armed = false;
        release(std::exchange(m_held, QByteArray()));
    });
}

void GreetingHold::arm()
{
    if (m_armed)
        return;   // bytes held since the last arm stay held
    m_armed = true;
    m_held.clear();
}

void GreetingHold::forgetHeld()
{
    m_held.clear();
    m_timer.stop();
}

void GreetingHold::drop()
{
    m_armed = false;
    forgetHeld();
}

QByteArray GreetingHold::take(const QByteArray &bytes, std::optional<gateway::Verdict> *refusal)
{
    if (!m_armed)
        return bytes;
    m_held += bytes;
    switch (gateway::screenGreeting(m_held)) {
    case gateway::Greeting::Refusal:
        *refusal = gateway::refusal(m_held);
        drop();
        return {};
    case gateway::Greeting::MaybeRefusal:
        m_timer.start(kHoldMs);
        return {};
    case gateway::Greeting::Line:
        break;
    }
    m_armed = false;
    m_timer.stop();
    return std::exchange(m_held, QByteArray());
}

} // namespace kestran
