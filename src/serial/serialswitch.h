#pragma once
// The serial control the window and the command line use: a local port
// (MSComm) or a line behind a network gateway (NetComm), picked at each open
// by the device path ("tcp://", "rfc2217://" and their TLS forms go to the network).
// Settings are given to both, so whichever opens has them.
#include "serialcontrol.h"

namespace kestran {

struct TlsSettings;
class MSComm;
class NetComm;
class PortTable;

class SerialSwitch : public SerialControl {
    Q_OBJECT
public:
    explicit SerialSwitch(QObject *parent = nullptr);
    ~SerialSwitch() override;

    // The table that maps CommPort to a local device (default: the system's).
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

    // For TLS gateways (tls://, rfc2217+tls://), from the next open on.
    void setTlsSettings(const TlsSettings &settings);

    MSComm *local() const { return m_local; }
    NetComm *network() const { return m_network; }
    // The one that is open, or was opened (or tried) last.
    SerialControl *current() const { return m_current; }

private:
    MSComm *m_local;
    NetComm *m_network;
    SerialControl *m_current;
    PortTable *m_table = nullptr;   // nullptr: the system's
};

// The serial control for a port text or device path of any kind.
SerialControl *createSerialControl(QObject *parent = nullptr);

} // namespace kestran
