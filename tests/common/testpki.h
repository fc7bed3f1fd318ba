#pragma once
// Certificates for TLS tests, made with openssl in a folder of their own: a
// plant CA and another CA; gateway certificates (good, from the other CA,
// for another name, expired, self-signed); client certificates (good,
// another CN, from the other CA, expired); and the authdir a ser2net
// clientauth accepter trusts (<CN>/allowed_certs/, rehashed).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace kestran::test {

class TestPki {
public:
    static constexpr char kClientCn[] = "plant-ctl";

    static bool available()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()
            && !QStandardPaths::findExecutable(QStringLiteral("gtlssh-keygen")).isEmpty();
    }

    bool make()
    {
        if (!m_dir.isValid())
            return false;
        const QString d = m_dir.path();
        QDir(d).mkpath(QStringLiteral("newcerts"));
        QDir(d).mkpath(QStringLiteral("auth/%1/allowed_certs").arg(QLatin1String(kClientCn)));
        write(QStringLiteral("index.txt"), "");
        write(QStringLiteral("serial"), "1000\n");
        write(QStringLiteral("ca.cnf"),
              "[ca]\ndefault_ca = d\n[d]\ndatabase = index.txt\nnew_certs_dir = newcerts\nserial = serial\n"
              "default_md = sha256\npolicy = p\nunique_subject = no\n[p]\ncommonName = supplied\n"
              "[gw]\nsubjectAltName = DNS:localhost,IP:127.0.0.1\n[client]\nextendedKeyUsage = clientAuth\n");
        write(QStringLiteral("gw.ext"), "subjectAltName = DNS:localhost,IP:127.0.0.1\n");
        write(QStringLiteral("name.ext"), "subjectAltName = DNS:gw-elsewhere.example\n");
        write(QStringLiteral("client.ext"), "extendedKeyUsage = clientAuth\n");
        const QString ec = QStringLiteral("ec:prime256v1");
        bool ok = selfSigned(QStringLiteral("ca"), QStringLiteral("/CN=Plant CA"), QString())
            && selfSigned(QStringLiteral("otherca"), QStringLiteral("/CN=Other CA"), QString())
            && selfSigned(QStringLiteral("selfsigned"), QStringLiteral("/CN=gateway"), QStringLiteral("gw.ext"))
            && signedBy(QStringLiteral("gw"), QStringLiteral("/CN=gateway"), QStringLiteral("ca"), QStringLiteral("gw.ext"), ec)
            && signedBy(QStringLiteral("gw-otherca"), QStringLiteral("/CN=gateway"), QStringLiteral("otherca"),
                        QStringLiteral("gw.ext"), ec)
            // The common name is the address: only the alternative names may count.
            && signedBy(QStringLiteral("gw-name"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("ca"),
                        QStringLiteral("name.ext"), ec)
            && expired(QStringLiteral("gw-expired"), QStringLiteral("/CN=gateway"), QStringLiteral("gw"), ec)
            // Client keys are RSA: what every TLS stack takes for a client.
            && signedBy(QStringLiteral("client"), clientSubject(), QStringLiteral("ca"), QStringLiteral("client.ext"))
            && signedBy(QStringLiteral("client-cn"), QStringLiteral("/CN=stranger"), QStringLiteral("ca"),
                        QStringLiteral("client.ext"))
            && signedBy(QStringLiteral("client-otherca"), clientSubject(), QStringLiteral("otherca"),
                        QStringLiteral("client.ext"))
            && expired(QStringLiteral("client-expired"), clientSubject(), QStringLiteral("client"), QString());
        ok = ok && QFile::copy(path(QStringLiteral("ca.crt")),
                               path(QStringLiteral("auth/%1/allowed_certs/ca.crt").arg(QLatin1String(kClientCn))))
            && run(QStringLiteral("gtlssh-keygen"), {QStringLiteral("rehash"),
                   path(QStringLiteral("auth/%1/allowed_certs").arg(QLatin1String(kClientCn)))});
        return ok;
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    // The SHA-256 fingerprint as "AB:CD:...", as openssl prints it.
    QString fingerprint(const QString &cert)
    {
        QProcess p;
        p.start(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-in"), path(cert),
                                            QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                                            QStringLiteral("-sha256")});
        p.waitForFinished(10000);
        const QByteArray out = p.readAllStandardOutput().trimmed();
        return QString::fromLatin1(out.mid(out.indexOf('=') + 1));
    }

private:
    static QString clientSubject() { return QStringLiteral("/CN=%1").arg(QLatin1String(kClientCn)); }
    void write(const QString &name, const QByteArray &text)
    {
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(text);
    }
    bool run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            qWarning("%s %s failed: %s", qPrintable(program), qPrintable(args.join(' ')), p.readAll().constData());
            return false;
        }
        return true;
    }
    QStringList keyArgs(const QString &name, const QString &algorithm)
    {
        QStringList a{QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key")};
        if (algorithm.startsWith(QLatin1String("ec:")))
            return a << QStringLiteral("-newkey") << QStringLiteral("ec") << QStringLiteral("-pkeyopt")
                     << QStringLiteral("ec_paramgen_curve:") + algorithm.mid(3);
        return a << QStringLiteral("-newkey") << QStringLiteral("rsa:2048");
    }
    bool selfSigned(const QString &name, const QString &subject, const QString &ext)
    {
        QStringList a{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-days"), QStringLiteral("3650"),
                      QStringLiteral("-subj"), subject, QStringLiteral("-out"), name + QStringLiteral(".crt")};
        a << keyArgs(name, QStringLiteral("ec:prime256v1"));
        if (!ext.isEmpty())
            a << QStringLiteral("-addext") << QStringLiteral("subjectAltName = DNS:localhost,IP:127.0.0.1");
        return run(QStringLiteral("openssl"), a);
    }
    bool request(const QString &name, const QString &subject, const QString &algorithm)
    {
        QStringList a{QStringLiteral("req"), QStringLiteral("-subj"), subject, QStringLiteral("-out"),
                      name + QStringLiteral(".csr")};
        return run(QStringLiteral("openssl"), a << keyArgs(name, algorithm));
    }
    bool signedBy(const QString &name, const QString &subject, const QString &ca, const QString &ext,
                  const QString &algorithm = QString())
    {
        return request(name, subject, algorithm)
            && run(QStringLiteral("openssl"),
                   {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                    QStringLiteral("-CA"), ca + QStringLiteral(".crt"), QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                    QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("825"),
                    QStringLiteral("-extfile"), ext, QStringLiteral("-out"), name + QStringLiteral(".crt")});
    }
    // Valid in 2020 only: "openssl x509 -days" cannot reach into the past, "openssl ca" can.
    bool expired(const QString &name, const QString &subject, const QString &extensionsOf, const QString &algorithm)
    {
        return request(name, subject, algorithm)
            && run(QStringLiteral("openssl"),
                   {QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"), QStringLiteral("ca.cnf"),
                    QStringLiteral("-cert"), QStringLiteral("ca.crt"), QStringLiteral("-keyfile"), QStringLiteral("ca.key"),
                    QStringLiteral("-in"), name + QStringLiteral(".csr"), QStringLiteral("-out"), name + QStringLiteral(".crt"),
                    QStringLiteral("-startdate"), QStringLiteral("20200101000000Z"), QStringLiteral("-enddate"),
                    QStringLiteral("20210101000000Z"), QStringLiteral("-extensions"),
                    extensionsOf == QLatin1String("gw") ? QStringLiteral("gw") : QStringLiteral("client"),
                    QStringLiteral("-notext")});
    }

    QTemporaryDir m_dir;
};

} // namespace kestran::test
