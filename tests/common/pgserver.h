#pragma once
// A real PostgreSQL 15 for tests and benchmarks: its own data folder in a
// temporary folder, started with pg_ctl on a free port of 127.0.0.1, trust
// authentication for its superuser "kestran_admin". PostgreSQL refuses to run
// as root, so as root it runs as the user nobody.
#include "ser2netprocess.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace kestran::test {

class PgServer {
public:
    static QString binDir() { return QStringLiteral("/usr/lib/postgresql/15/bin"); }

    // Makes the data folder (initdb); false with the reason in error().
    bool init()
    {
        if (!m_dir.isValid())
            return fail(QStringLiteral("no temporary folder"));
        m_port = freeLoopbackPort();
        if (asRoot()) {
            // nobody must reach and own the folder.
            QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                    | QFileDevice::ExeOther | QFileDevice::ReadOther);
            if (QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody"), m_dir.path()}) != 0)
                return fail(QStringLiteral("chown nobody failed"));
        }
        return run(QStringLiteral("initdb"), {QStringLiteral("-D"), data(), QStringLiteral("-A"), QStringLiteral("trust"),
                                              QStringLiteral("-U"), QStringLiteral("kestran_admin"),
                                              QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8")});
    }
    bool start()
    {
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                    .arg(m_port).arg(m_dir.path());
        return run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-o"), options,
                                              QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
                                              QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("30"),
                                              QStringLiteral("start")});
    }
    bool stop()
    {
        return run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-m"), QStringLiteral("fast"),
                                              QStringLiteral("-w"), QStringLiteral("stop")});
    }
    // SQL as the superuser, through psql.
    bool psql(const QString &sql, QString *output = nullptr)
    {
        QProcess p;
        p.start(binDir() + QStringLiteral("/psql"),
                {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("-A"),
                 QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                 QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"), QStringLiteral("kestran_admin"),
                 QStringLiteral("-d"), QStringLiteral("postgres"), QStringLiteral("-c"), sql});
        p.waitForFinished(30000);
        if (output)
            *output = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return fail(QString::fromUtf8(p.readAllStandardError()));
        return true;
    }
    ~PgServer()
    {
        if (QFile::exists(data() + QStringLiteral("/postmaster.pid")))
            stop();
    }

    quint16 port() const { return m_port; }
    QString url(const QString &user = QStringLiteral("kestran_admin")) const
    {
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/postgres").arg(user).arg(m_port);
    }
    QString error() const { return m_error; }
    QString folder() const { return m_dir.path(); }

private:
    static bool asRoot() { return QFileInfo(QStringLiteral("/proc/self")).ownerId() == 0; }
    QString data() const { return m_dir.filePath(QStringLiteral("data")); }
    bool fail(const QString &why)
    {
        m_error = why;
        return false;
    }
    bool run(const QString &tool, const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (asRoot())
            p.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                                                           binDir() + QLatin1Char('/') + tool} + args);
        else
            p.start(binDir() + QLatin1Char('/') + tool, args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return fail(tool + QStringLiteral(": ") + QString::fromUtf8(p.readAll()));
        return true;
    }

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace kestran::test
