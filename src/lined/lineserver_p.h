#pragma once
// What the line server's parts share: its clients' and monitors' records,
// and the words and limits the log and the status use.
#include "lineserver.h"
#include "framesplitter.h"
#include "frames.h"

#include <QTcpSocket>
#include <QTimer>

#include <deque>

namespace kestran::lined {

using kestran::kByteNs;
// Read from a client in pieces of this much, so that a flood of junk is
// looked at a little at a time and never held whole.
constexpr int kReadChunk = 1024;
// A monitor that does not take its copy this fast is cut off.
constexpr qint64 kMonitorBacklog = 64 * 1024;

const char *stateName(LineServer::ClientState s);
const char *lineStateName(LineServer::LineState s);
// "ADDR:PORT" ("[ADDR]:PORT" for IPv6), IPv4 as such when mapped.
QString peerText(const QTcpSocket *socket);
// The address alone, as the writers list may name it.
QString peerAddress(const QTcpSocket *socket);

struct LineServer::Client {
    quint64 id = 0;
    QTcpSocket *socket = nullptr;
    QString name;          // in the log: "CN@ADDR:PORT" (TLS) or "ADDR:PORT"
    QString identity;      // what the writers name: the certificate's CN, or the address
    bool mayWrite = true;
    ClientState state = ClientState::Idle;
    std::deque<Request> queue;
    quint64 turn = 0;      // of the request at the head of the queue
    FrameSplitter splitter;
    QTimer *idle = nullptr;
    QTimer *grace = nullptr;
    qint64 requests = 0;
    qint64 junk = 0;       // bytes that made no command, in all
    qint64 junkRun = 0;    // of them since the last command
    bool junkLogged = false;
};

struct LineServer::Monitor {
    QTcpSocket *socket = nullptr;
    QString name;
};

} // namespace kestran::lined
