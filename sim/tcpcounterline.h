#pragma once
// Simulated counters behind a network port on this computer (127.0.0.1), in
// the program's own process: the demo line where there are no pseudo-terminals.
// Each connection is one line of eight counters; replies leave at the speed of
// a 19200-baud line (one byte per 520.8 us), like a raw network gateway's, and
// go through the same shaping as the pseudo-terminal line's.
#include "counterline.h"
#include "replyshaper.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpServer;
class QTcpSocket;

namespace kestran::sim {

class TcpCounterLine : public QObject {
    Q_OBJECT
public:
    // `options`: how the line misbehaves; paced unless told otherwise.
    explicit TcpCounterLine(QObject *parent = nullptr, const LineOptions &options = paced());
    ~TcpCounterLine() override;

    // Listens on 127.0.0.1 at a port the system picks. False (and `error`
    // says why) when that fails.
    bool start(QString *error);
    // "tcp://127.0.0.1:PORT"
    QString url() const;
    CounterLine &counters() { return m_line; }

    static LineOptions paced()
    {
        LineOptions o;
        o.pace = true;
        return o;
    }

private:
    void onConnection();
    void onReadyRead();
    void pump();

    QTcpServer *m_server = nullptr;
    QTcpSocket *m_client = nullptr;   // one tool at a time, as on a real line
    CounterLine m_line;
    ReplyShaper m_out;                // reply bytes not yet on the wire, and when they are
    SendStats m_stats;
    QElapsedTimer m_clock;
    QTimer m_pump;
};

} // namespace kestran::sim
