#pragma once
// A pseudo-terminal pair for serial tests: the code under test opens the slave
// path like any serial device, the test plays the far end on the master.
#include <QByteArray>
#include <QString>
#include <QTest>
#include <termios.h>
#include <unistd.h>

namespace kestran::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString error() const { return m_error; }
    QString slavePath() const { return m_slavePath; }   // "/dev/pts/N"

    // Writes to the master: the bytes arrive at whoever has the slave open.
    bool write(const QByteArray &bytes);
    // Everything the master has read so far, after reading what is waiting
    // now (without the event loop).
    QByteArray received();
    // Runs the event loop until at least `count` bytes have been received or
    // `timeoutMs` has passed. Returns whether the count was reached.
    bool waitForReceived(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
    }

    // The far end vanishes: the master is closed and the slave is hung up.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    // tcgetattr of the slave (the line settings in force).
    bool slaveAttributes(termios *out) const { return m_slave >= 0 && ::tcgetattr(m_slave, out) == 0; }

private:
    int m_master = -1;
    int m_slave = -1;   // kept open so the line survives the code under test closing it
    QString m_slavePath;
    QString m_error;
    QByteArray m_received;
};

} // namespace kestran::test
