#include "ptypair.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <unistd.h>

namespace kestran::test {

PtyPair::PtyPair()
{
    // A plain master/slave pair from posix_openpt.
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
            || ::ptsname_r(m_master, name, sizeof name) != 0
            || (m_slave = ::open(name, O_RDWR | O_NOCTTY)) < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (m_master >= 0)
            ::close(m_master);
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    const int flags = ::fcntl(m_master, F_GETFL);
    ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    // Raw from the start, so nothing is echoed or translated before the code
    // under test sets its own line settings.
    termios tio;
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
    QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] { readMaster(); });
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PtyPair::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        done += n;
    }
    return true;
}

void PtyPair::readMaster()
{
    if (m_master < 0)
        return;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) {
            // EAGAIN: nothing more now. EIO: no one has the slave open; the
            // helper keeps it open, so this only happens while tearing down.
            if (n < 0 && errno == EIO && m_notifier)
                m_notifier->setEnabled(false);
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < n; ++i)
            m_received.append({static_cast<unsigned char>(buf[i]), now});
    }
}

void PtyPair::drain()
{
    readMaster();
}

QByteArray PtyPair::received() const
{
    QByteArray out;
    out.reserve(m_received.size());
    for (const ReceivedByte &b : m_received)
        out.append(char(b.value));
    return out;
}

bool PtyPair::waitForReceived(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { drain(); return m_received.size() >= count; }, timeoutMs);
}

void PtyPair::closeMaster()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

bool PtyPair::slaveAttributes(termios *out) const
{
    return m_slave >= 0 && ::tcgetattr(m_slave, out) == 0;
}

} // namespace kestran::test
