#pragma once
// One shared line: the serial control that owns it, the clients that talk to
// it over TCP or TLS, and the queue of their transactions. Everything runs on
// one event loop, driven by explicit states:
//
//   line:   Down --reopen--> Opening --> Idle <--> Reading
//                ^------------------------/  (lost)
//   client: Idle <--> Queued <--> Active, and from each --> Closing
//
// (a TLS client becomes a client once its handshake is done)
//
// Clients speak the line's own bytes. Their read-all and write commands are
// queued whole; bytes that make no command are dropped and counted. One
// transaction is on the line at a time:
//   - a read-all goes out and the device's replies go back to its client
//     alone, until all eight have come or the reply time-out passes (the
//     client library's: the whole wait, and the quiet after a reply);
//   - a write goes out and that device then hears nothing for the pause the
//     counters need; other devices are served meanwhile.
// Queued writes go before queued reads; among either, clients take turns.
// Bytes from the line outside a read, or not a reply of the device read,
// are dropped and counted.
#include "linedconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <deque>
#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace kestran {
class SerialControl;
class FrameSplitter;
}

namespace kestran::lined {

class LineHistory;

struct LineStats {
    int clients = 0;              // connected now (monitors not counted)
    int monitors = 0;
    int queued = 0;               // requests waiting now
    qint64 accepted = 0;          // clients ever accepted
    qint64 reads = 0;             // read transactions done
    qint64 incompleteReads = 0;   // of them, ended by the time-out without all eight replies
    qint64 writes = 0;            // writes sent
    qint64 lineDropped = 0;       // line bytes outside a transaction or not its device's replies
    qint64 discarded = 0;         // reply bytes of a client that had gone
    qint64 clientJunk = 0;        // client bytes that made no command
    qint64 writeRefusals = 0;
    qint64 downRefusals = 0;      // clients turned away while the line was down
    qint64 fullRefusals = 0;      // clients turned away for too many
    qint64 idleClosed = 0;
    qint64 junkClosed = 0;
    qint64 losses = 0;            // the line was lost
    qint64 reopened = 0;
    qint64 busyNs = 0;            // time spent in read transactions
};

class LineServer : public QObject {
    Q_OBJECT
public:
    enum class LineState { Down, Opening, Idle, Reading };
    enum class ClientState { Idle, Queued, Active, Closing };

    // How long the line is left before opening it again after a loss or a
    // failed open: first kReopenFirstMs, doubling up to kReopenMaxMs.
    static constexpr int kReopenFirstMs = 500;
    static constexpr int kReopenMaxMs = 8000;
    // A client that sends this many bytes in a row that make no command is closed.
    static constexpr int kJunkLimit = 64 * 1024;
    // Requests a client may have queued before its input is read no further.
    static constexpr int kQueueHold = 16;
    // A closing client that does not take its last bytes is cut off after this.
    static constexpr int kCloseGraceMs = 2000;

    LineServer(const LineConfig &config, const ServerTls &tls, QObject *parent = nullptr);
    ~LineServer() override;

    // Listens and opens the line (a line that does not open is tried again
    // and again; clients are turned away meanwhile). False with the reason
    // when the listen address cannot be served.
    bool start(QString *error);

    quint16 listenPort() const;
    quint16 monitorPort() const;
    LineState lineState() const { return m_state; }
    LineStats stats() const;
    QString statusText() const;
    const LineConfig &config() const { return m_config; }

    // The reply time-outs of a read-all (defaults: the client library's).
    void setReplyTimeouts(int wholeMs, int quietMs);
    // The pause after a write before that device hears anything again.
    void setWritePause(int ms) { m_writePauseMs = ms; }

signals:
    void lineStateChanged(LineState state);

private:
    struct Request {
        enum Kind { Read, Write } kind = Read;
        int device = 0;
        QByteArray frame;
    };
    struct Client;
    struct Monitor;

    void onNewConnection();
    void addClient(QTcpSocket *socket);
    void onClientReadable(quint64 id);
    void onClientFrames(Client &c, const QByteArray &bytes);
    void closeClient(Client &c, const QString &why, const char *text = nullptr);
    void dropClient(quint64 id);
    void setClientState(Client &c, ClientState s);
    void turnAway(QTcpSocket *socket, const char *text);

    void openLine();
    void onLineReceive();
    void onLineLost(const QString &reason);
    void setLineState(LineState s);
    void lineFrames(const QByteArray &bytes);
    void endRead(bool complete);
    void pump();
    void sendToLine(const QByteArray &frame);
    // Lets the line hold back what comes until `bytes` wait (from `fromNs` on m_clock, at wire speed).
    void holdBack(int bytes, qint64 fromNs);

    void onMonitorConnection();
    void copyToMonitors(const QByteArray &bytes);

    Client *client(quint64 id);
    QString clientName(QTcpSocket *socket, QString *identity) const;
    bool mayWrite(const QString &identity) const;
    void log(const QString &text) const;

    LineConfig m_config;
    ServerTls m_tls;
    QTcpServer *m_server = nullptr;
    QTcpServer *m_monitorServer = nullptr;

    LineState m_state = LineState::Down;
    std::unique_ptr<SerialControl> m_line;
    std::unique_ptr<FrameSplitter> m_lineSplitter;
    QTimer *m_reopen = nullptr;
    int m_reopenDelayMs = kReopenFirstMs;
    QString m_lastOpenProblem;

    // The read on the line (state Reading).
    struct Read {
        quint64 client = 0;       // 0: its client has gone, replies are discarded
        int device = 0;
        quint8 got = 0;           // a bit per index that has replied
        QElapsedTimer since;
    } m_read;
    QTimer *m_whole = nullptr;    // the whole wait of a read
    QTimer *m_quiet = nullptr;    // the quiet after a reply
    QTimer *m_wantDue = nullptr;  // the rest of an answer held back by the line is overdue
    int m_want = 1;               // the bytes the line holds back until (1: none held)
    int m_wholeMs;
    int m_quietMs;
    int m_writePauseMs;
    std::array<qint64, 8> m_pausedUntilNs{};   // per device, on m_clock
    QTimer *m_pauseEnd = nullptr;
    QElapsedTimer m_clock;
    bool m_pumping = false;

    std::map<quint64, std::unique_ptr<Client>> m_clients;
    std::map<quint64, std::unique_ptr<Monitor>> m_monitors;
    quint64 m_nextId = 1;
    quint64 m_nextTurn = 1;       // orders the heads of the client queues
    LineStats m_stats;
    std::unique_ptr<LineHistory> m_history;   // every client's writes on record
};

} // namespace kestran::lined
