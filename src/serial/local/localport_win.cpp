// A serial port on kernel32. The handle is opened for overlapped I/O, and
// while it is open one overlapped ReadFile of a single byte is always pending,
// with the read time-outs Windows documents as "return as soon as a byte
// arrives, else after kIdleWakeMs with nothing". Its event handle wakes the Qt
// event loop through a QWinEventNotifier; the byte it brings, and whatever
// waits behind it (ClearCommError), is then handed on, and the next read is
// armed. An empty completion only means "look again".
//
// WaitCommEvent(EV_RXCHAR) is not used: under Wine it completes hundreds of
// times a second on a quiet line (called off, or with mask 0), which kept a
// core 30 to 40% busy, and a completion can come before the operation is done.
// A read of one byte is idle on both, and takes the byte itself, so no byte
// can slip between a wake-up and the next wait.
//
// Writes are queued and handed to WriteFile one batch at a time; the
// completion of each reports the bytes written.
#include "localport.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

#include <cstring>

namespace kestran {

namespace {

// How long a pending read waits on a quiet line before it comes back empty
// (on Windows; Wine waits for the byte). Each empty completion also asks the
// port for its state, so a removed adapter is noticed within this time.
constexpr DWORD kIdleWakeMs = 1000;

QString systemText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                           | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = n ? QString::fromWCharArray(buffer, int(n)).trimmed() : QString();
    if (buffer)
        LocalFree(buffer);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text.isEmpty() ? QStringLiteral("system error %1").arg(code) : text;
}

} // namespace

struct WinSerialPort::Private {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED waitOv {};      // the pending one-byte read
    OVERLAPPED readOv {};      // reads of what waits behind it
    OVERLAPPED writeOv {};
    char waitByte = 0;
    bool waitPending = false;
    qint64 armedAt = 0;        // when the pending read was started (ms)
    QTimer *rearm = nullptr;   // arms the read later after an early empty completion
    bool writePending = false;
    QWinEventNotifier *waitNotifier = nullptr;
    QWinEventNotifier *writeNotifier = nullptr;

    QByteArray received;       // read from the port, not yet taken by readAll
    QByteArray queued;         // written by the caller, not yet completed
    QByteArray inFlight;       // the batch WriteFile is working on

    qint32 baud = 9600;
    int dataBits = 8;
    int parity = NoParity;
    int stopBits = OneStop;
    bool dtr = false;

    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }
};

WinSerialPort::WinSerialPort(QObject *parent)
    : QObject(parent), d(new Private)
{
    d->waitOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->waitNotifier = new QWinEventNotifier(d->waitOv.hEvent, this);
    d->writeNotifier = new QWinEventNotifier(d->writeOv.hEvent, this);
    d->waitNotifier->setEnabled(false);
    d->writeNotifier->setEnabled(false);
    connect(d->waitNotifier, &QWinEventNotifier::activated, this, [this] { onReceiveSignalled(); });
    d->rearm = new QTimer(this);
    d->rearm->setSingleShot(true);
    connect(d->rearm, &QTimer::timeout, this, [this] {
        if (d->isOpen() && !d->waitPending)
            armWait();
    });
    connect(d->writeNotifier, &QWinEventNotifier::activated, this, [this] { onWriteSignalled(); });
}

WinSerialPort::~WinSerialPort()
{
    close();
    delete d->waitNotifier;
    delete d->writeNotifier;
    CloseHandle(d->waitOv.hEvent);
    CloseHandle(d->readOv.hEvent);
    CloseHandle(d->writeOv.hEvent);
    delete d;
}

void WinSerialPort::setPortName(const QString &name)
{
    m_name = name;
}

bool WinSerialPort::isOpen() const
{
    return d->isOpen();
}

void WinSerialPort::setError(SerialPortError error, const QString &text)
{
    m_error = error;
    m_errorString = text;
    emit errorOccurred(error);
}

bool WinSerialPort::open(QIODevice::OpenMode mode)
{
    Q_UNUSED(mode);   // always read and write
    if (d->isOpen())
        return true;
    QString device = m_name;
    if (!device.startsWith(QLatin1String("\\\\.\\")))
        device.prepend(QLatin1String("\\\\.\\"));
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(device.utf16()),
                                 GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        SerialPortError e = OpenError;
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            e = DeviceNotFoundError;
        else if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
            e = PermissionError;
        setError(e, systemText(code));
        return false;
    }
    d->handle = h;

    // A read returns at once with what waits, or with the first byte to
    // arrive, or with nothing after kIdleWakeMs.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kIdleWakeMs;
    DCB probe {};
    probe.DCBlength = sizeof probe;
    if (!GetCommState(h, &probe)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        d->handle = INVALID_HANDLE_VALUE;
        setError(UnsupportedOperationError, systemText(code));
        return false;
    }
    if (!applyState() || !SetCommTimeouts(h, &timeouts)
        || !PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        d->handle = INVALID_HANDLE_VALUE;
        setError(UnsupportedOperationError, systemText(code));
        return false;
    }
    d->received.clear();
    d->queued.clear();
    d->waitNotifier->setEnabled(true);
    d->writeNotifier->setEnabled(true);
    clearError();
    armWait();
    return d->isOpen();
}

void WinSerialPort::close()
{
    if (!d->isOpen())
        return;
    const HANDLE h = d->handle;
    d->waitNotifier->setEnabled(false);
    d->writeNotifier->setEnabled(false);
    d->rearm->stop();
    // Whatever is still pending must be over before its buffers go.
    CancelIo(h);
    DWORD n = 0;
    if (d->waitPending)
        GetOverlappedResult(h, &d->waitOv, &n, TRUE);
    if (d->writePending)
        GetOverlappedResult(h, &d->writeOv, &n, TRUE);
    d->waitPending = d->writePending = false;
    ResetEvent(d->waitOv.hEvent);
    ResetEvent(d->writeOv.hEvent);
    CloseHandle(h);
    d->handle = INVALID_HANDLE_VALUE;
    d->received.clear();
    d->queued.clear();
    d->inFlight.clear();
}

bool WinSerialPort::applyState()
{
    if (!d->isOpen())
        return true;
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(d->handle, &dcb))
        return false;
    dcb.BaudRate = DWORD(d->baud);
    dcb.ByteSize = BYTE(d->dataBits);
    dcb.Parity = BYTE(d->parity == EvenParity ? EVENPARITY
                      : d->parity == OddParity ? ODDPARITY
                      : d->parity == SpaceParity ? SPACEPARITY
                      : d->parity == MarkParity ? MARKPARITY : NOPARITY);
    dcb.StopBits = BYTE(d->stopBits == TwoStop ? TWOSTOPBITS
                        : d->stopBits == OneAndHalfStop ? ONE5STOPBITS : ONESTOPBIT);
    dcb.fBinary = TRUE;
    dcb.fParity = d->parity != NoParity;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = d->dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(d->handle, &dcb) != 0;
}

bool WinSerialPort::setBaudRate(qint32 baud)
{
    d->baud = baud;
    return applyState();
}

bool WinSerialPort::setDataBits(DataBits bits)
{
    d->dataBits = int(bits);
    return applyState();
}

bool WinSerialPort::setParity(Parity parity)
{
    d->parity = int(parity);
    return applyState();
}

bool WinSerialPort::setStopBits(StopBits stop)
{
    d->stopBits = int(stop);
    return applyState();
}

bool WinSerialPort::setFlowControl(FlowControl flow)
{
    Q_UNUSED(flow);   // only "none" exists here
    return true;
}

bool WinSerialPort::setDataTerminalReady(bool on)
{
    d->dtr = on;
    if (!d->isOpen()) {
        setError(NotOpenError, QStringLiteral("Device is not open"));
        return false;
    }
    if (!EscapeCommFunction(d->handle, on ? SETDTR : CLRDTR)) {
        setError(UnsupportedOperationError, systemText(GetLastError()));
        return false;
    }
    return true;
}

// One read of a single byte pending at all times while the port is open.
bool WinSerialPort::armWait()
{
    ResetEvent(d->waitOv.hEvent);
    d->armedAt = GetTickCount64();
    d->waitPending = true;
    if (ReadFile(d->handle, &d->waitByte, 1, nullptr, &d->waitOv))
        return true;   // done at once: the event is set and the notifier takes it from here
    const DWORD code = GetLastError();
    if (code == ERROR_IO_PENDING)
        return true;
    d->waitPending = false;
    fail(ResourceError, code);
    return false;
}

// Reads everything that waits in the driver, never while the one-byte read is
// pending (its byte comes first). False when the port failed or was closed.
bool WinSerialPort::drain()
{
    for (;;) {
        DWORD errors = 0;
        COMSTAT status {};
        if (!ClearCommError(d->handle, &errors, &status)) {
            fail(ResourceError, GetLastError());
            return false;
        }
        if (status.cbInQue == 0)
            return true;
        QByteArray chunk(qsizetype(status.cbInQue), Qt::Uninitialized);
        DWORD got = 0;
        ResetEvent(d->readOv.hEvent);
        if (!ReadFile(d->handle, chunk.data(), DWORD(chunk.size()), &got, &d->readOv)) {
            DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) {
                fail(ReadError, code);
                return false;
            }
            // With these time-outs the read returns at once with what waits.
            // Should it wait all the same (the bytes went elsewhere), it is
            // called off rather than let the event loop stand still.
            if (WaitForSingleObject(d->readOv.hEvent, 100) != WAIT_OBJECT_0)
                CancelIoEx(d->handle, &d->readOv);
            if (!GetOverlappedResult(d->handle, &d->readOv, &got, TRUE)) {
                code = GetLastError();
                if (code != ERROR_OPERATION_ABORTED) {
                    fail(ReadError, code);
                    return false;
                }
                got = DWORD(d->readOv.InternalHigh);   // what it had read when called off
            }
        }
        if (got == 0)
            return true;
        chunk.truncate(qsizetype(got));
        d->received.append(chunk);
        emit readyRead();
        if (!d->isOpen() || d->waitPending)
            return false;   // closed (and perhaps opened again) by whoever took the bytes
    }
}

void WinSerialPort::onReceiveSignalled()
{
    if (!d->isOpen() || !d->waitPending)
        return;
    DWORD n = 0;
    const bool ok = GetOverlappedResult(d->handle, &d->waitOv, &n, FALSE);
    const DWORD code = ok ? 0 : GetLastError();
    if (!ok && code == ERROR_IO_INCOMPLETE)
        return;
    d->waitPending = false;
    if (!ok && code != ERROR_OPERATION_ABORTED) {
        fail(ResourceError, code);
        return;
    }
    if (ok && n == 1) {
        d->received.append(d->waitByte);
        emit readyRead();
        if (!d->isOpen() || d->waitPending)
            return;   // closed, or closed and opened again, by whoever took the byte
    } else {
        // Nothing came: the time-out on a quiet line, or the read was called
        // off. Ask the port for its state (a removed adapter fails here).
        DWORD errors = 0;
        COMSTAT status {};
        if (!ClearCommError(d->handle, &errors, &status)) {
            fail(ResourceError, GetLastError());
            return;
        }
        // Empty completions far sooner than the time-out (a driver that
        // answers reads at once): look again later, not in a loop.
        if (status.cbInQue == 0 && GetTickCount64() - d->armedAt < kIdleWakeMs / 4) {
            d->rearm->start(int(kIdleWakeMs / 4));
            return;
        }
    }
    // What waits behind the byte first, then the next read: with bytes
    // waiting it would complete at once.
    if (drain() && !d->waitPending)
        armWait();
}

qint64 WinSerialPort::write(const char *data, qint64 size)
{
    if (!d->isOpen()) {
        setError(NotOpenError, QStringLiteral("Device is not open"));
        return -1;
    }
    d->queued.append(data, qsizetype(size));
    if (!d->writePending)
        startWrite();
    return size;
}

void WinSerialPort::startWrite()
{
    if (d->queued.isEmpty() || !d->isOpen())
        return;
    d->inFlight = d->queued;
    ResetEvent(d->writeOv.hEvent);
    d->writePending = true;
    if (WriteFile(d->handle, d->inFlight.constData(), DWORD(d->inFlight.size()), nullptr, &d->writeOv))
        return;   // done at once; the event is set and the notifier reports it
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
        d->writePending = false;
        fail(WriteError, code);
    }
}

void WinSerialPort::onWriteSignalled()
{
    if (!d->isOpen() || !d->writePending)
        return;
    DWORD n = 0;
    const bool ok = GetOverlappedResult(d->handle, &d->writeOv, &n, FALSE);
    const DWORD code = ok ? 0 : GetLastError();
    if (!ok && code == ERROR_IO_INCOMPLETE)
        return;
    d->writePending = false;
    ResetEvent(d->writeOv.hEvent);
    if (!ok) {
        fail(WriteError, code);
        return;
    }
    d->queued.remove(0, qMin<qsizetype>(qsizetype(n), d->queued.size()));
    d->inFlight.clear();
    emit bytesWritten(qint64(n));
    if (d->isOpen() && !d->queued.isEmpty() && !d->writePending)
        startWrite();
}

qint64 WinSerialPort::bytesToWrite() const
{
    return qint64(d->queued.size());
}

QByteArray WinSerialPort::readAll()
{
    QByteArray out;
    out.swap(d->received);
    return out;
}

bool WinSerialPort::clear(Direction direction)
{
    if (!d->isOpen())
        return false;
    DWORD flags = 0;
    if (direction & Input) {
        flags |= PURGE_RXCLEAR;
        d->received.clear();
    }
    if (direction & Output)
        flags |= PURGE_TXCLEAR;
    return PurgeComm(d->handle, flags) != 0;
}

// A failure of the open port (the adapter pulled, the driver gone): reported
// once; the owner closes the port in answer.
void WinSerialPort::fail(SerialPortError error, unsigned long code)
{
    d->waitNotifier->setEnabled(false);
    d->writeNotifier->setEnabled(false);
    setError(error, systemText(DWORD(code)));
}

} // namespace kestran
