#pragma once
// What a TLS gateway connection needs from whoever opens it: which gateways
// to trust and who we are. The window, kestran-ctl and the plant file all fill
// this one type; NetComm reads the files at each open.
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace kestran {

struct TlsSettings {
    QString caFile;     // the plant's CA certificates (PEM); "" = the system's store
    QString certFile;   // our certificate (PEM), for gateways that ask for one
    QString keyFile;    // its private key (PEM, no pass phrase); "" = inside certFile
    QString pin;        // SHA-256 fingerprint of a (self-signed) gateway certificate
    QString source;     // where these came from, named in messages ("" = nowhere)

    bool operator==(const TlsSettings &o) const
    {
        return caFile == o.caFile && certFile == o.certFile && keyFile == o.keyFile && pin == o.pin;
    }
};

// `over`'s fields, and `base`'s where `over` leaves one empty; the source
// of the first that gives anything.
TlsSettings mergedTls(const TlsSettings &over, const TlsSettings &base);

// The window's settings file, in the folder the system gives per-user
// configuration (~/.config/kestran-setup/tls.conf on Linux,
// %LOCALAPPDATA%\kestran-setup\tls.conf on Windows), and its contents:
//   ca = plant-ca.crt        (relative names are taken from the file's folder)
//   cert = me.crt
//   key = me.key
//   pin = AB:CD:...
QString userTlsSettingsPath();
TlsSettings readTlsSettingsFile(const QString &path);

// The files of `settings` read and checked, ready for a connection.
struct TlsCredentials {
    QList<QSslCertificate> caCertificates;   // empty: the system's store
    QSslCertificate certificate;             // null: none
    QSslKey key;
    QByteArray pin;                          // 32 bytes, empty: none
};

// False with a plain reason when a file is missing or unreadable, a key can
// be read by others or has a pass phrase, or the pin is not a fingerprint.
bool loadTlsCredentials(const TlsSettings &settings, TlsCredentials *out, QString *problem);

// "AB:CD:..." or "abcd..." (64 hex digits, colons anywhere, an optional
// "sha256:" before) as 32 bytes; empty when it is not one.
QByteArray parseFingerprint(const QString &text);
// 32 bytes as the fingerprint a technician compares: "AB:CD:...".
QString formatFingerprint(const QByteArray &digest);

} // namespace kestran
