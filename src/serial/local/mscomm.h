#pragma once
// The serial control over the system's own serial port (QSerialPort, or the
// kernel32 port on Windows).
#include "serialcontrol.h"
#include <QByteArray>

namespace kestran {

class PortTable;

class MSComm : public SerialControl {
    Q_OBJECT
public:
    // Design defaults: 9600 baud, 8 data bits, input buffer 1024, output 512,
    // no handshaking, port closed. `table` maps CommPort to a device (default: the system's).
    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    void setPortTable(PortTable *table);

    void setCommPort(short port) override;
    short CommPort() const override;
    void setDevicePath(const QString &path) override;
    QString devicePath() const override;
    bool setSettings(const QString &settings) override;
    QString Settings() const override;
    void setInBufferCount(short n) override;
    short InBufferCount() const override;
    void setInputMode(int mode) override;
    void setInputLen(short n) override;
    void setRThreshold(short n) override;
    void setSThreshold(short n) override;
    void setDTREnable(bool on) override;
    void setReceiveEventMode(ReceiveEventMode mode) override;
    bool setReceiveWant(int bytes) override;
    bool setPortOpen(bool open) override;
    bool PortOpen() const override;
    void setOutput(const QString &text) override;
    QString Input() override;
    short CommEvent() const override;
    SerialFault fault() const override;
    QString errorString() const override;

    int InBufferSize() const { return m_inBufferSize; }
    int OutBufferSize() const { return m_outBufferSize; }
    int Handshaking() const { return 0; }
    // The device the last open used (or tried).
    QString openedPath() const { return m_openedPath; }

private:
    struct Private;
    Private *d;
    int m_inBufferSize = 1024;
    int m_outBufferSize = 512;
    QString m_openedPath;
};

} // namespace kestran
