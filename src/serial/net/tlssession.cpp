#include "tlssession.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>

namespace kestran {

namespace {

QString certificateNames(const QSslCertificate &cert)
{
    QStringList names;
    const auto alt = cert.subjectAlternativeNames();
    for (auto it = alt.cbegin(); it != alt.cend(); ++it)
        names.append(it.value());
    if (names.isEmpty())
        return QStringLiteral("no name (no subject alternative name)");
    return names.join(QStringLiteral(", "));
}

// The host of the port text against the certificate's subject alternative
// names only (the common name does not count): a DNS name in any case, one
// leading "*." standing for one label, or an IP address.
bool nameMatches(const QSslCertificate &cert, const QString &host)
{
    const QHostAddress address(host);
    const auto alt = cert.subjectAlternativeNames();
    for (auto it = alt.cbegin(); it != alt.cend(); ++it) {
        if (it.key() == QSsl::AlternativeNameEntryType::IpAddressEntry) {
            if (!address.isNull() && QHostAddress(it.value()).isEqual(address))
                return true;
            continue;
        }
        if (it.key() != QSsl::AlternativeNameEntryType::DnsEntry || !address.isNull())
            continue;
        const QString name = it.value().toLower();
        const QString h = host.toLower().endsWith(QLatin1Char('.')) ? host.toLower().chopped(1) : host.toLower();
        if (name == h)
            return true;
        if (name.startsWith(QLatin1String("*.")) && name.size() > 2) {
            const qsizetype dot = h.indexOf(QLatin1Char('.'));
            if (dot > 0 && h.mid(dot + 1) == name.mid(2))
                return true;
        }
    }
    return false;
}

bool isExpiry(QSslError::SslError e)
{
    return e == QSslError::CertificateExpired || e == QSslError::CertificateNotYetValid;
}

} // namespace

QString plainPortText(const QString &target, bool rfc2217)
{
    const qsizetype end = target.indexOf(QLatin1String("://"));
    return (rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("tcp")) + target.mid(end);
}

QString tlsPortText(const QString &target, bool rfc2217)
{
    const qsizetype end = target.indexOf(QLatin1String("://"));
    return (rfc2217 ? QStringLiteral("rfc2217+tls") : QStringLiteral("tls")) + target.mid(end);
}

bool loadTls()
{
    return QSslSocket::supportsSsl();
}

TlsRefusal TlsSession::begin(const TlsSettings &settings, const QString &target, const QString &host, bool rfc2217)
{
    settings_ = settings;
    target_ = target;
    host_ = host;
    rfc2217_ = rfc2217;
    sslErrors_.clear();
    peer_ = QSslCertificate();
    if (!QSslSocket::supportsSsl())
        return {SerialFault::TlsSettings,
                QStringLiteral("this build of the program has no TLS (%1)").arg(QSslSocket::activeBackend())};
    QString problem;
    if (!loadTlsCredentials(settings_, &credentials_, &problem))
        return {SerialFault::TlsSettings, problem + settingsNote()};
    return {};
}

QSslSocket *TlsSession::newSocket(QObject *parent) const
{
    auto *ssl = new QSslSocket(parent);
    QSslConfiguration conf = ssl->sslConfiguration();
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    if (!credentials_.caCertificates.isEmpty())
        conf.setCaCertificates(credentials_.caCertificates);   // the plant's CA only
    if (!credentials_.certificate.isNull()) {
        conf.setLocalCertificate(credentials_.certificate);
        conf.setPrivateKey(credentials_.key);
    }
    ssl->setSslConfiguration(conf);
    return ssl;
}

QString TlsSession::fingerprint() const
{
    return formatFingerprint(peer_.digest(QCryptographicHash::Sha256));
}

void TlsSession::onSslErrors(QSslSocket *socket, const QList<QSslError> &errors)
{
    sslErrors_ = errors;
    peer_ = socket->peerCertificate();
    if (peer_.isNull() && !errors.isEmpty())
        peer_ = errors.first().certificate();
    // A pinned certificate stands for the CA and the name, never for a lapsed validity.
    if (credentials_.pin.isEmpty() || peer_.digest(QCryptographicHash::Sha256) != credentials_.pin)
        return;
    QList<QSslError> ignorable;
    for (const QSslError &e : errors)
        if (!isExpiry(e.error()))
            ignorable.append(e);
    socket->ignoreSslErrors(ignorable);
}

TlsRefusal TlsSession::checkEncrypted(const QSslSocket *socket)
{
    peer_ = socket->peerCertificate();
    if (!credentials_.pin.isEmpty()) {
        if (peer_.digest(QCryptographicHash::Sha256) != credentials_.pin)
            return {SerialFault::NotTrusted, pinMismatch()};
    } else if (!nameMatches(peer_, host_)) {
        return {SerialFault::WrongName, wrongName()};
    }
    return {};
}

QString TlsSession::pinMismatch() const
{
    return QStringLiteral("the gateway's certificate is not the pinned one: it showed SHA-256 "
                          "fingerprint %1, the pin is %2%3")
        .arg(fingerprint(), formatFingerprint(credentials_.pin), settingsNote());
}

QString TlsSession::wrongName() const
{
    return QStringLiteral("the gateway's certificate is made out for %1, not for %2")
        .arg(certificateNames(peer_), host_);
}

QString TlsSession::settingsNote() const
{
    return settings_.source.isEmpty() ? QString()
                                      : QStringLiteral(" (TLS settings from %1)").arg(settings_.source);
}

// The handshake's failure in plain words, by what it found.
TlsRefusal TlsSession::handshakeFailed(const QString &why) const
{
    bool untrusted = false, expired = false, name = false;
    QSslError expiry;
    QString trustSaid;   // the TLS library's own words for why, for whoever compares notes
    for (const QSslError &e : std::as_const(sslErrors_)) {
        if (isExpiry(e.error())) {
            expired = true;
            expiry = e;
        } else if (e.error() == QSslError::HostNameMismatch) {
            name = true;
        } else {
            untrusted = true;
            if (trustSaid.isEmpty())
                trustSaid = e.errorString();
        }
    }
    const bool pinned = !credentials_.pin.isEmpty();
    if (pinned && peer_.digest(QCryptographicHash::Sha256) != credentials_.pin)
        return {SerialFault::NotTrusted, pinMismatch()};
    if (untrusted && !pinned)
        return {SerialFault::NotTrusted,
                QStringLiteral("the gateway's certificate is not trusted: %1 (it showed SHA-256 "
                               "fingerprint %2; TLS said: %3)%4")
                    .arg(settings_.caFile.isEmpty()
                             ? QStringLiteral("no CA of the system's store signed it")
                             : QStringLiteral("the CA in %1 did not sign it").arg(settings_.caFile),
                         fingerprint(), trustSaid, settingsNote())};
    if (expired) {
        const QSslCertificate c = expiry.certificate().isNull() ? peer_ : expiry.certificate();
        return {SerialFault::CertExpired,
                expiry.error() == QSslError::CertificateExpired
                    ? QStringLiteral("the gateway's certificate expired on %1")
                          .arg(c.expiryDate().toUTC().toString(Qt::ISODate))
                    : QStringLiteral("the gateway's certificate is not valid before %1")
                          .arg(c.effectiveDate().toUTC().toString(Qt::ISODate))};
    }
    if (name)
        return {SerialFault::WrongName, wrongName()};
    // No complaint of ours: the gateway broke it off, or it does not speak TLS.
    const QString lower = why.toLower();
    if (lower.contains(QLatin1String("alert")) && (lower.contains(QLatin1String("certificate"))
                                                    || lower.contains(QLatin1String("unknown ca"))))
        return {SerialFault::CertRefused, clientRefused()};
    if (lower.contains(QLatin1String("wrong version number")) || lower.contains(QLatin1String("packet length"))
        || lower.contains(QLatin1String("record layer")))
        return {SerialFault::TlsMismatch, notTls()};
    return {SerialFault::Other, QStringLiteral("the TLS handshake failed: %1").arg(why)};
}

QString TlsSession::clientRefused() const
{
    if (credentials_.certificate.isNull())
        return QStringLiteral("the gateway wants a client certificate, and none is set%1").arg(settingsNote());
    const QStringList cn = credentials_.certificate.subjectInfo(QSslCertificate::CommonName);
    return QStringLiteral("the gateway refused our client certificate (%1, from %2)%3")
        .arg(cn.isEmpty() ? QStringLiteral("no common name") : QStringLiteral("CN=") + cn.first(),
             settings_.certFile, settingsNote());
}

QString TlsSession::notTls() const
{
    return QStringLiteral("the gateway does not speak TLS on this port; if it is a plain one, "
                          "open it as %1").arg(plainPortText(target_, rfc2217_));
}

} // namespace kestran
