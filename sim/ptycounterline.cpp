#include "ptycounterline.h"
#include "linepacer.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace kestran::sim {

namespace {
constexpr qint64 kRetryNs = 20000000;    // master unusable (no slave open): look again later
constexpr int kMaxTxFrame = 32;

bool isOctal(char c) { return c >= '0' && c <= '7'; }

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

PtyCounterLine::PtyCounterLine(const LineOptions &options)
    : m_options(options)
    , m_line(options.devices)
    , m_out(options)
{
}

PtyCounterLine::~PtyCounterLine() { stop(); }

qint64 PtyCounterLine::nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool PtyCounterLine::start(QString *error)
{
    if (isRunning())
        return true;
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B19200);
    cfsetospeed(&raw, B19200);
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        if (error)
            *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    const char *name = ::ptsname(master);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_master = master;
        m_slave = slave;
        m_slavePath = QString::fromLocal8Bit(name ? name : "");
        if (!m_options.holdSlave)
            closeFd(m_slave);
        m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_quit = false;
        m_out.clear();
        m_txFrame.clear();
        m_line.resetInput();
    }
    if (!m_linkPath.isEmpty() && !createLink(error)) {
        shutdown(false);
        return false;
    }
    if (m_options.pace)
        LinePacer::instance().add(this, [this](qint64 now) { return writeDue(now); });
    m_thread = std::thread([this] { run(); });
    return true;
}

void PtyCounterLine::stop() { shutdown(true); }
void PtyCounterLine::kill() { shutdown(false); }

bool PtyCounterLine::restart(QString *error)
{
    shutdown(false);
    return start(error);
}

void PtyCounterLine::shutdown(bool removeLink)
{
    if (m_options.pace)
        LinePacer::instance().remove(this);
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        wake();
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    closeFd(m_master);
    closeFd(m_slave);
    closeFd(m_wake);
    m_out.clear();
    m_changed.notify_all();
    if (removeLink && !m_linkPath.isEmpty()
        && QFileInfo(m_linkPath).symLinkTarget() == QFileInfo(m_slavePath).absoluteFilePath())
        QFile::remove(m_linkPath);
}

bool PtyCounterLine::isRunning() const { return m_thread.joinable(); }

QString PtyCounterLine::slavePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slavePath;
}

QString PtyCounterLine::linkPath() const { return m_linkPath; }

bool PtyCounterLine::setLink(const QString &path, QString *error)
{
    m_linkPath = path;
    return !isRunning() || createLink(error);
}

bool PtyCounterLine::createLink(QString *error)
{
    const QFileInfo info(m_linkPath);
    if (info.exists() && !info.isSymLink()) {
        if (error)
            *error = QStringLiteral("%1 exists and is not a symlink").arg(m_linkPath);
        return false;
    }
    if (info.isSymLink()) {
        // A pty node lives only while its master is open, so a link to one that
        // exists belongs to a running simulator: it is never taken over. A
        // dangling link, left by one that was killed, is replaced.
        const QString target = info.symLinkTarget();
        // A link this line made itself is its own, even when the pty it named has
        // since been given to another program (after kill(), the number is free).
        if (QFileInfo::exists(target) && target != QFileInfo(slavePath()).absoluteFilePath()
            && target != m_linkedTarget) {
            if (error)
                *error = QStringLiteral("%1 already links to %2, which is in use (another simulator?)")
                             .arg(m_linkPath, target);
            return false;
        }
        QFile::remove(m_linkPath);
    }
    if (::symlink(QFile::encodeName(slavePath()).constData(), QFile::encodeName(m_linkPath).constData()) != 0) {
        if (error)
            *error = QStringLiteral("symlink %1: %2").arg(m_linkPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_linkedTarget = QFileInfo(slavePath()).absoluteFilePath();
    return true;
}

void PtyCounterLine::wake()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wake >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

void PtyCounterLine::send(const QByteArray &bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_out.enqueue(bytes, nowNs());
    }
    wake();
    if (m_options.pace)
        LinePacer::instance().kick();
}

QVector<Arrival> PtyCounterLine::arrivals() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrivals;
}

QByteArray PtyCounterLine::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray out;
    out.reserve(m_arrivals.size());
    for (const Arrival &a : m_arrivals)
        out += a.byte;
    return out;
}

void PtyCounterLine::clearArrivals()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrivals.clear();
}

bool PtyCounterLine::waitForBytes(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_arrivals.size() >= count; });
}

bool PtyCounterLine::waitForIdle(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_out.isEmpty(); });
}

QByteArray PtyCounterLine::sent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
}

SendStats PtyCounterLine::stats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

QByteArray PtyCounterLine::value(int device, int index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_line.value(device, index);
}

void PtyCounterLine::run()
{
    qint64 retryAt = 0; // master gave EIO/hang-up: leave it alone until then
    char buf[4096];
    for (;;) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_quit)
            return;
        qint64 now = nowNs();
        // Paced output is the pacer's to write.
        const bool blocked = !m_options.pace && writeDueLocked(now);
        // After a hang-up (nobody has the slave open) the master is left out
        // of the poll for a while: it would report POLLHUP at once, every time.
        const bool quiet = now < retryAt;
        qint64 timeout = -1;
        if (!m_options.pace && !blocked && !m_out.isEmpty())
            timeout = m_out.nextDue() - now;
        if (quiet)
            timeout = timeout < 0 ? retryAt - now : std::min(timeout, retryAt - now);
        pollfd fds[2] = {{m_wake, POLLIN, 0},
                         {quiet ? -1 : m_master, short(POLLIN | (blocked ? POLLOUT : 0)), 0}};
        lock.unlock();

        timespec ts{time_t(timeout / 1000000000), long(timeout % 1000000000)};
        if (::ppoll(fds, 2, timeout < 0 ? nullptr : &ts, nullptr) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            quint64 v;
            [[maybe_unused]] ssize_t n = ::read(m_wake, &v, sizeof v);
        }
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            handleInput(QByteArray(buf, int(n)), nowNs());
            if (m_options.pace)
                LinePacer::instance().kick();
        }
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            retryAt = nowNs() + kRetryNs; // the slave may be opened again
    }
}

qint64 PtyCounterLine::writeDue(qint64 now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_master < 0)
        return -1;
    const bool blocked = writeDueLocked(now);
    if (m_out.isEmpty())
        return -1;
    // A tool that does not read leaves its buffer full: try again a tick later.
    return blocked ? now + LinePacer::kTickNs : m_out.nextDue();
}

// Caller holds the lock. Returns true when the master took less than was due.
bool PtyCounterLine::writeDueLocked(qint64 now)
{
    bool blocked = false;
    while (!m_out.isEmpty() && m_out.nextDue() <= now) {
        // Every byte whose time has come goes in one write: a reader that
        // looks late finds them waiting together, as it would on a port.
        const QByteArray bytes = m_out.takeDue(now);
        ssize_t n;
        do
            n = ::write(m_master, bytes.constData(), size_t(bytes.size()));
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) {
            m_out.putBack(bytes);
            blocked = true; // the tool is not reading; wait for room
            break;
        }
        if (n < 0) { // nobody is listening: the bytes are lost, as on a real line
            m_stats.lostBytes += int(bytes.size());
            continue;
        }
        noteWritten(bytes.left(int(n)));
        if (n < bytes.size()) {
            m_out.putBack(bytes.mid(int(n)));
            blocked = true;
            break;
        }
    }
    if (m_out.isEmpty())
        m_changed.notify_all();
    return blocked;
}

void PtyCounterLine::handleInput(const QByteArray &bytes, qint64 at)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (char c : bytes)
        m_arrivals.append({at, c});
    const QList<QByteArray> replies = m_line.feed(bytes);
    if (m_options.verbose) {
        const QList<QByteArray> log = m_line.commandLog();
        for (; m_logged < log.size(); ++m_logged)
            fprintf(stderr, "<- %s\n", printableFrame(log[m_logged]).constData());
    }
    if (!m_options.keepHistory) {
        m_arrivals.clear();
        m_line.clearCommandLog();
        m_logged = 0;
    }

    const QByteArray out = m_out.shape(replies, m_stats);
    const qint64 heard = m_out.heard(at, int(bytes.size()));
    if (!out.isEmpty())
        m_out.enqueue(out, heard + qint64(m_options.replyDelayMs) * 1000000);
    m_changed.notify_all(); // the I/O thread looks at the queue again on its own
}

// Caller holds the lock: keeps the log and counts reply frames as written.
void PtyCounterLine::noteWritten(const QByteArray &bytes)
{
    if (m_options.keepHistory)
        m_sent += bytes;
    for (char c : bytes) {
        if (c == '*') {
            m_txFrame = "*";
            continue;
        }
        if (m_txFrame.isEmpty())
            continue;
        m_txFrame += c;
        if (c == '\r') {
            const QByteArray &f = m_txFrame;
            if (f.size() == 15 && isOctal(f[1]) && f[2] == 'C' && isOctal(f[4]))
                ++m_stats.replies[f[1] - '0'][f[4] - '0'];
            if (m_options.verbose)
                fprintf(stderr, "-> %s\n", printableFrame(f).constData());
            m_txFrame.clear();
        } else if (m_txFrame.size() > kMaxTxFrame) {
            m_txFrame.clear();
        }
    }
}

} // namespace kestran::sim
