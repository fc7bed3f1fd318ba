#pragma once
// The receive side every serial control shares, whatever carries its bytes:
// the input queue that Input empties, the thresholds, and the OnComm events.
// Each received byte posts one receive event; an event runs later on the
// control's thread and is raised only while at least RThreshold characters
// wait. Emptying the queue (or opening and closing the line, which empty it)
// drops every event posted before. In PerArrival mode every arrival raises
// one receive event at once instead, with the same threshold: nothing is
// posted, so a line that delivers a byte at a time costs no event per byte.
#include "receivequeue.h"
#include "serialcontrol.h"

#include <QByteArray>
#include <QMetaObject>
#include <QString>
#include <QtGlobal>

namespace kestran {

class ReceiveEvents {
public:
    explicit ReceiveEvents(SerialControl *control) : m_control(control) {}

    // Bytes from the line: queued, and one receive event posted per byte (or,
    // per arrival, raised now).
    void received(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        m_rx.append(bytes);
        if (m_mode == ReceiveEventMode::PerArrival) {
            raiseReceive();
            return;
        }
        for (qsizetype i = 0; i < bytes.size(); ++i)
            post(CommEventCode::Receive);
    }

    void setMode(ReceiveEventMode mode) { m_mode = mode; }
    ReceiveEventMode mode() const { return m_mode; }

    // Everything written has left: the send event, when SThreshold asks for one.
    void sent()
    {
        if (m_sThreshold >= 1)
            post(CommEventCode::Send);
    }

    // Empties the queue; events posted before it are dropped.
    void clear()
    {
        m_rx.clear();
        ++m_generation;
    }

    qsizetype waiting() const { return m_rx.size(); }
    short inBufferCount() const { return short(qMin<qsizetype>(m_rx.size(), 32767)); }
    // What Input hands out: up to InputLen characters, all when it is 0.
    QString take() { return m_rx.take(m_inputLen); }

    void setInputLen(short n) { m_inputLen = n < 0 ? 0 : n; }
    void setRThreshold(short n) { m_rThreshold = n < 0 ? 0 : n; }
    void setSThreshold(short n) { m_sThreshold = n < 0 ? 0 : n; }
    short commEvent() const { return m_commEvent; }

private:
    void post(CommEventCode code)
    {
        const quint64 gen = m_generation;
        QMetaObject::invokeMethod(m_control, [this, gen, code] { deliver(gen, code); }, Qt::QueuedConnection);
    }

    void raiseReceive()
    {
        if (m_rThreshold < 1 || m_rx.size() < m_rThreshold)
            return;
        m_commEvent = short(CommEventCode::Receive);
        emit m_control->OnComm();
    }

    void deliver(quint64 gen, CommEventCode code)
    {
        if (gen != m_generation)
            return;
        if (code == CommEventCode::Receive) {
            raiseReceive();
            return;
        }
        if (code == CommEventCode::Send && m_sThreshold < 1)
            return;
        m_commEvent = short(code);
        emit m_control->OnComm();
    }

    SerialControl *m_control;
    ReceiveQueue m_rx;
    short m_inputLen = 0;            // 0: everything waiting
    short m_rThreshold = 0;
    short m_sThreshold = 0;
    short m_commEvent = 0;
    ReceiveEventMode m_mode = ReceiveEventMode::PerByte;
    quint64 m_generation = 0;        // bumped by clear(): older events are dropped
};

} // namespace kestran
