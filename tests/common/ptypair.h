#pragma once
// A pseudo-terminal pair for serial tests: the code under test opens the slave
// path like any serial device, the test plays the far end on the master.
#include <QByteArray>
#include <QString>
#include <QVector>
#include <chrono>
#include <termios.h>

class QSocketNotifier;

namespace kestran::test {

struct ReceivedByte {
    unsigned char value;
    std::chrono::steady_clock::time_point at;   // when the master read it
};

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString error() const { return m_error; }
    // "/dev/pts/N"
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes to the master: the bytes arrive at whoever has the slave open.
    bool write(const QByteArray &bytes);

    // Everything the master has read so far (the master reads whenever the
    // event loop runs), each byte stamped with the time it was read.
    QByteArray received() const;
    const QVector<ReceivedByte> &receivedBytes() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // Reads what is waiting now, without the event loop.
    void drain();
    // Runs the event loop until at least `count` bytes have been received or
    // `timeoutMs` has passed. Returns whether the count was reached.
    bool waitForReceived(int count, int timeoutMs = 5000);

    // The far end vanishes: the master is closed and the slave is hung up.
    void closeMaster();

    // tcgetattr of the slave (the line settings in force).
    bool slaveAttributes(termios *out) const;

private:
    void readMaster();

    int m_master = -1;
    int m_slave = -1;          // kept open so the line survives the code under test closing it
    QString m_slavePath;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    QVector<ReceivedByte> m_received;
};

} // namespace kestran::test
