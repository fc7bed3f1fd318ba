#pragma once
// The byte pipe under MSComm: QSerialPort where the system has it, and on
// Windows a port of our own over kernel32 with the same members, so that MSComm
// is the same code on both systems.
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <QSerialPort>

namespace kestran {
using LocalPort = QSerialPort;
} // namespace kestran

#else
#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>

namespace kestran {

// A serial port on kernel32: opened for overlapped I/O, received bytes
// delivered to the event loop as they arrive, writes queued and completed in
// the background. Only the members MSComm uses, with QSerialPort's meaning.
class WinSerialPort : public QObject {
    Q_OBJECT
public:
    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8 };
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5 };
    enum StopBits { OneStop = 1, OneAndHalfStop = 3, TwoStop = 2 };
    enum FlowControl { NoFlowControl = 0 };
    enum Direction { Input = 1, Output = 2, AllDirections = 3 };
    enum SerialPortError {
        NoError, DeviceNotFoundError, PermissionError, OpenError, WriteError, ReadError,
        ResourceError, UnsupportedOperationError, UnknownError, TimeoutError, NotOpenError
    };

    explicit WinSerialPort(QObject *parent = nullptr);
    ~WinSerialPort() override;

    // "COM3" or "\\.\COM3"; the device opened is always "\\.\COMn" (COM10 and
    // above have no other name).
    void setPortName(const QString &name);
    QString portName() const { return m_name; }

    bool open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const;

    bool setBaudRate(qint32 baud);
    bool setDataBits(DataBits bits);
    bool setParity(Parity parity);
    bool setStopBits(StopBits stop);
    bool setFlowControl(FlowControl flow);
    bool setDataTerminalReady(bool on);

    QByteArray readAll();
    qint64 write(const char *data, qint64 size);
    qint64 bytesToWrite() const;
    bool clear(Direction direction = AllDirections);

    SerialPortError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    void clearError() { m_error = NoError; m_errorString.clear(); }

signals:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void errorOccurred(WinSerialPort::SerialPortError error);

private:
    struct Private;
    Private *d;
    QString m_name;
    SerialPortError m_error = NoError;
    QString m_errorString;

    void setError(SerialPortError error, const QString &text);
    bool applyState();
    void onReceiveSignalled();
    void onWriteSignalled();
    bool armWait();
    bool drain();
    void startWrite();
    void fail(SerialPortError error, unsigned long code);
};

using LocalPort = WinSerialPort;

} // namespace kestran
#endif
