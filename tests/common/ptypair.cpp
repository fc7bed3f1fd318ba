#include "ptypair.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>

namespace kestran::test {

PtyPair::PtyPair()
{
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(::ttyname(m_slave));
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw from the start, so nothing is echoed or translated before the code
    // under test sets its own line settings.
    termios tio;
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n >= 0) {
            done += n;
        } else if (errno != EINTR) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
    }
    return done == bytes.size();
}

QByteArray PtyPair::received()
{
    char buf[4096];
    ssize_t n;
    while (m_master >= 0 && (n = ::read(m_master, buf, sizeof buf)) > 0)
        m_received.append(buf, n);
    return m_received;
}

} // namespace kestran::test
