#pragma once
// The TLS side of a gateway connection: the socket made from the TLS
// settings, and what its handshake showed, checked and put in plain words.
// The gateway's chain is checked against the settings' CA (or the system's
// store) and its subject alternative names against the host of the port
// text, or the certificate against a pinned SHA-256 fingerprint; nothing
// switches that off. The texts name what was found, never the target: the
// connection puts its own port text before them.
#include "serialcontrol.h"
#include "tlssettings.h"

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QObject;
class QSslSocket;

namespace kestran {

// Why a TLS connection cannot be used; fault None: it can.
struct TlsRefusal {
    SerialFault fault = SerialFault::None;
    QString why;
    explicit operator bool() const { return fault != SerialFault::None; }
};

// The same port text ("tls://h:1", "rfc2217+tls://h:1", or their plain
// forms) as plain, or as TLS.
QString plainPortText(const QString &target, bool rfc2217);
QString tlsPortText(const QString &target, bool rfc2217);

// Loads the TLS library, once per process; false when this build has none.
// Whoever is about to open TLS connections from several threads at once
// calls it first: while the library loads, no other thread can start.
bool loadTls();

class TlsSession {
public:
    // A new connection to `host`: the settings' files read and checked.
    // Refused (TlsSettings) when they cannot be used or this build has no TLS.
    TlsRefusal begin(const TlsSettings &settings, const QString &target, const QString &host, bool rfc2217);

    // A socket that verifies the gateway and shows our certificate, if any.
    QSslSocket *newSocket(QObject *parent) const;

    // What the handshake found wrong; a pinned certificate gets through,
    // but never with a lapsed validity.
    void onSslErrors(QSslSocket *socket, const QList<QSslError> &errors);
    // The handshake is done: the pin, or the name against the certificate.
    TlsRefusal checkEncrypted(const QSslSocket *socket);
    // The handshake did not get through (`why`: the socket's error text).
    TlsRefusal handshakeFailed(const QString &why) const;

    // The gateway closed the connection right after the handshake (TLS 1.3).
    QString clientRefused() const;
    // No TLS answer came.
    QString notTls() const;
    // " (TLS settings from FILE)", or nothing.
    QString settingsNote() const;

private:
    QString pinMismatch() const;
    QString wrongName() const;
    QString fingerprint() const;

    TlsSettings settings_;
    TlsCredentials credentials_;
    QString target_;
    QString host_;                // checked against the certificate
    bool rfc2217_ = false;
    QList<QSslError> sslErrors_;  // what the last handshake found wrong
    QSslCertificate peer_;        // the certificate the gateway showed
};

} // namespace kestran
