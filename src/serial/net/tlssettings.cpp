#include "tlssettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSslSocket>
#include <QStandardPaths>

namespace kestran {

namespace {

bool readFile(const QString &path, const QString &what, QByteArray *out, QString *problem)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot read the %1 %2: %3").arg(what, path, f.errorString());
        return false;
    }
    *out = f.readAll();
    return true;
}

} // namespace

TlsSettings mergedTls(const TlsSettings &over, const TlsSettings &base)
{
    TlsSettings m;
    m.caFile = over.caFile.isEmpty() ? base.caFile : over.caFile;
    m.certFile = over.certFile.isEmpty() ? base.certFile : over.certFile;
    m.keyFile = over.keyFile.isEmpty() && over.certFile.isEmpty() ? base.keyFile : over.keyFile;
    m.pin = over.pin.isEmpty() ? base.pin : over.pin;
    const bool fromOver = !over.caFile.isEmpty() || !over.certFile.isEmpty() || !over.pin.isEmpty();
    m.source = fromOver || base.source.isEmpty() ? over.source : base.source;
    if (fromOver && !base.source.isEmpty() && !(base == TlsSettings()) && over.source != base.source)
        m.source = QStringLiteral("%1 and %2").arg(over.source, base.source);
    return m;
}

QString userTlsSettingsPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("kestran-setup/tls.conf"));
}

TlsSettings readTlsSettingsFile(const QString &path)
{
    TlsSettings s;
    if (!QFileInfo::exists(path)) {
        s.source = QStringLiteral("%1, which does not exist: the system's CA store is used").arg(path);
        return s;
    }
    s.source = path;
    const QSettings file(path, QSettings::IniFormat);
    const QDir dir = QFileInfo(path).absoluteDir();
    auto file_ = [&](const char *key) {
        const QString v = file.value(QLatin1String(key)).toString().trimmed();
        return v.isEmpty() ? v : QDir::cleanPath(dir.absoluteFilePath(v));
    };
    s.caFile = file_("ca");
    s.certFile = file_("cert");
    s.keyFile = file_("key");
    s.pin = file.value(QStringLiteral("pin")).toString().trimmed();
    return s;
}

QByteArray parseFingerprint(const QString &text)
{
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("sha256:"), Qt::CaseInsensitive))
        t = t.mid(7);
    t.remove(QLatin1Char(':'));
    if (t.size() != 64)
        return {};
    for (const QChar c : t)
        if (!(c.isDigit() || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'))))
            return {};
    return QByteArray::fromHex(t.toLatin1());
}

QString formatFingerprint(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

bool loadTlsCredentials(const TlsSettings &s, TlsCredentials *out, QString *problem)
{
    *out = TlsCredentials();
    if (!s.pin.trimmed().isEmpty()) {
        out->pin = parseFingerprint(s.pin);
        if (out->pin.isEmpty()) {
            *problem = QStringLiteral("the pinned fingerprint \u201C%1\u201D is not a SHA-256 fingerprint "
                                      "(64 hexadecimal digits, colons allowed)").arg(s.pin.trimmed());
            return false;
        }
    }
    if (!s.caFile.isEmpty()) {
        QByteArray pem;
        if (!readFile(s.caFile, QStringLiteral("CA file"), &pem, problem))
            return false;
        out->caCertificates = QSslCertificate::fromData(pem, QSsl::Pem);
        if (out->caCertificates.isEmpty()) {
            *problem = QStringLiteral("the CA file %1 holds no PEM certificate").arg(s.caFile);
            return false;
        }
    }
    if (s.certFile.isEmpty()) {
        if (!s.keyFile.isEmpty()) {
            *problem = QStringLiteral("a key (%1) is given without its certificate").arg(s.keyFile);
            return false;
        }
        return true;
    }
    const QString lower = s.certFile.toLower();
    if (lower.endsWith(QLatin1String(".p12")) || lower.endsWith(QLatin1String(".pfx"))) {
        // Certificate and key in one PKCS#12 file without a pass phrase. Only
        // the OpenSSL backend reads these; Windows' (schannel) has no reader
        // for them and takes the PEM certificate and key instead.
        if (QSslSocket::activeBackend() != QLatin1String("openssl")) {
            *problem = QStringLiteral("%1 is a PKCS#12 file, which this system's TLS cannot read: give the "
                                      "certificate and its key as PEM files (--cert FILE.crt --key FILE.key)")
                           .arg(s.certFile);
            return false;
        }
#ifndef Q_OS_WIN
        if (QFileInfo(s.certFile).permissions()
            & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
            *problem = QStringLiteral("the private key %1 can be read by other users; it is not used. "
                                      "Make it readable by you alone: chmod 600 %1").arg(s.certFile);
            return false;
        }
#endif
        QFile f(s.certFile);
        if (!f.open(QIODevice::ReadOnly)) {
            *problem = QStringLiteral("cannot read the certificate %1: %2").arg(s.certFile, f.errorString());
            return false;
        }
        if (!QSslCertificate::importPkcs12(&f, &out->key, &out->certificate)) {
            *problem = QStringLiteral("%1 is no PKCS#12 file without a pass phrase (pass phrases are not supported)")
                           .arg(s.certFile);
            return false;
        }
        return true;
    }
    QByteArray certPem;
    if (!readFile(s.certFile, QStringLiteral("certificate"), &certPem, problem))
        return false;
    const QList<QSslCertificate> certs = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (certs.isEmpty()) {
        *problem = QStringLiteral("the certificate file %1 holds no PEM certificate").arg(s.certFile);
        return false;
    }
    out->certificate = certs.first();
    const QString keyPath = s.keyFile.isEmpty() ? s.certFile : s.keyFile;
#ifndef Q_OS_WIN
    // As ssh does: a private key that others may read is not taken. (On
    // Windows the file's access list decides, which these bits do not show.)
    const QFileDevice::Permissions p = QFileInfo(keyPath).permissions();
    if (p & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
        *problem = QStringLiteral("the private key %1 can be read by other users; it is not used. "
                                  "Make it readable by you alone: chmod 600 %1").arg(keyPath);
        return false;
    }
#endif
    QByteArray keyPem;
    if (!readFile(keyPath, QStringLiteral("private key"), &keyPem, problem))
        return false;
    if (keyPem.contains("ENCRYPTED")) {
        *problem = QStringLiteral("the private key %1 is protected by a pass phrase, which is not supported: "
                                  "keep the key unencrypted, readable by you alone").arg(keyPath);
        return false;
    }
    for (const QSsl::KeyAlgorithm a : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        const QSslKey key(keyPem, a, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            out->key = key;
            break;
        }
    }
    if (out->key.isNull()) {
        *problem = QStringLiteral("%1 holds no PEM private key (RSA, EC or DSA)").arg(keyPath);
        return false;
    }
    return true;
}

} // namespace kestran
