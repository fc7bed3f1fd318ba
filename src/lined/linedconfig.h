#pragma once
// What kestran-lined serves: its lines, each with the port it owns, the
// address it listens on and who may write, read from /etc/kestran/lined.toml
// (or -c FILE) or given for one line on the command line.
//
//   # Hall 2
//   [[line]]
//   name = "press-3"
//   port = "/dev/serial/by-id/usb-FTDI_FT232R_A10K3Q2L-if00-port0"
//   listen = "tls://0.0.0.0:4100"
//   writers = ["setup-pc", "nightly-check"]   # optional; default: every client
//   monitor = "tcp://127.0.0.1:4101"          # optional; a read-only copy of the line
//   idle-timeout = 600                        # optional; seconds
//   max-clients = 1024                        # optional
//   plain-anywhere = false                    # optional; plain TCP beyond 127.0.0.1
//   upstream-tls = { ca = "gw-ca.crt" }       # optional; for a tls:// port
//
//   [tls]                 # the server side of every tls:// listen address
//   cert = "lined.crt"    # relative names: from the file's folder
//   key = "lined.key"
//   ca = "plant-ca.crt"   # the CA of the client certificates
//   handshake-timeout = 5 # optional; seconds
//
//   status = "tcp://127.0.0.1:4199"           # optional; a plain-text status page
//
//   [history]                 # optional; where the clients' writes are recorded
//   database = "plant-history" # default, none, sqlite:FILE, a postgresql:// URL or a service name
//   require = true            # a write that cannot be recorded is refused
//
// Every mistake is refused with the file's line number, and the daemon
// does not start.
#include "tlssettings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace kestran::lined {

struct ListenAddress {
    enum Scheme { None, Tcp, Tls } scheme = None;
    QHostAddress address;
    quint16 port = 0;     // 0: any free port (tests)
    QString text;         // as written

    bool isSet() const { return scheme != None; }
    bool isLoopback() const { return address.isLoopback(); }
};

// "tcp://ADDR:PORT" or "tls://ADDR:PORT" (ADDR an IPv4 address, [IPv6],
// "localhost" or "*"); false with the reason in `problem`.
bool parseListenAddress(const QString &text, ListenAddress *out, QString *problem);

struct ServerTls {
    QString certFile, keyFile, caFile;
    int handshakeTimeoutMs = 5000;

    bool isSet() const { return !certFile.isEmpty(); }
};

struct LineConfig {
    QString name;                        // for the log and the status ("" on the command line: the port text)
    QString port;                        // any port text the client library opens
    TlsSettings upstreamTls;             // for a tls:// or rfc2217+tls:// port
    ListenAddress listen;
    ListenAddress monitor;               // not set: no read-only copy
    std::optional<QStringList> writers;  // not set: every client may write
    int idleTimeoutMs = 10 * 60 * 1000;
    int maxClients = 1024;
    bool plainAnywhere = false;          // plain TCP on an address other than loopback
    int fileLine = 0;
    QString history;                     // [history] database, as written ("": the default)
    bool historyRequire = false;

    QString shownName() const { return name.isEmpty() ? port : name; }
};

struct LinedConfig {
    QVector<LineConfig> lines;
    ServerTls tls;
    ListenAddress status;
    QString history;                     // [history], for every line
    bool historyRequire = false;
};

// Reads a configuration file's text. On failure returns false and sets
// `error` to "SOURCE:LINE: what is wrong".
bool parseLinedConfig(const QByteArray &text, const QString &source, LinedConfig *out, QString *error);

// What a whole configuration may not do, whichever way it was given: plain
// TCP beyond loopback without leave, TLS without its files, two lines or
// ports on one address. "" when it is sound.
QString checkLinedConfig(const LinedConfig &config);

} // namespace kestran::lined
