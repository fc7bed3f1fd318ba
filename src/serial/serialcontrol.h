#pragma once
// The serial control the window talks to: the members the window uses, in the
// control's own terms. MSComm implements it over QSerialPort, NetComm over a
// network gateway, and createSerialControl() makes one that picks either by
// the device path; tests that must see every single write use an in-memory double.
#include <QObject>
#include <QString>

namespace kestran {

enum class CommEventCode : short { Send = 1, Receive = 2 };

// How received bytes raise OnComm. PerByte is the control's own rule, which
// the window keeps: one event per byte, each run later on the control's
// thread. PerArrival is for readers that take everything waiting at each
// event: one event per read from the line, raised while the bytes come in.
enum class ReceiveEventMode { PerByte, PerArrival };

// Why an open failed (or why an open connection was lost).
enum class SerialFault {
    None,
    BadSettings,    // Settings text malformed
    BadPortNumber,  // CommPort outside 1..255 or no device mapped to it
    NotFound,       // no such device
    Busy,           // another program holds the port (lock file / exclusive)
    Permission,     // this user may not open the device
    NotSerial,      // the path is not a serial device
    Lost,           // the device vanished while open
    TimedOut,       // a network gateway did not answer in time
    Refused,        // a network gateway refused the connection
    HostNotFound,   // a network gateway's name does not resolve
    Cancelled,      // the open was called off (closed while it waited); nothing to report
    NotTrusted,     // a TLS gateway's certificate is not from a trusted CA, or not the pinned one
    CertExpired,    // a TLS gateway's certificate has expired or is not valid yet
    WrongName,      // a TLS gateway's certificate is made out for another name
    CertRefused,    // a TLS gateway refused our client certificate (or wants one)
    TlsMismatch,    // a TLS port opened as plain, or a plain port opened as TLS
    ClosedUnanswered, // a gateway closed the connection at our first bytes, before anything came
                      // back: a TLS gateway does so with a plain client, and so does a plain
                      // gateway that died just then; what was sent may have reached the line
    NotAllowed,     // a line server refused a write of ours: this client may not write there
    Unavailable,    // a line server cannot serve us now (its line is down, or it has too many clients)
    TlsSettings,    // the TLS settings cannot be used (file missing, key readable by others, ...)
    Other,
};

class SerialControl : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialControl() override = default;

    virtual void setCommPort(short port) = 0;
    virtual short CommPort() const = 0;
    // A device path used instead of the CommPort mapping for the next open ("" = use CommPort).
    virtual void setDevicePath(const QString &path) = 0;
    virtual QString devicePath() const = 0;

    // "19200,N,8,1". Returns false (and changes nothing) on a malformed text.
    virtual bool setSettings(const QString &settings) = 0;
    virtual QString Settings() const = 0;

    virtual void setInBufferCount(short n) = 0;     // 0 empties the receive buffer
    virtual short InBufferCount() const = 0;
    virtual void setInputMode(int mode) = 0;
    virtual void setInputLen(short n) = 0;
    virtual void setRThreshold(short n) = 0;
    virtual void setSThreshold(short n) = 0;
    virtual void setDTREnable(bool on) = 0;
    // PerByte unless set otherwise; a control that knows only PerByte ignores it.
    virtual void setReceiveEventMode(ReceiveEventMode) {}
    // A reader's hint that it needs nothing before `bytes` more have come:
    // the line may then hold back what arrives, and raise its next receive
    // event once that many wait (or when something else wakes the reader).
    // 1 undoes it. Returns true where the line does hold bytes back, so the
    // reader knows it must not count on seeing each arrival; false where it
    // cannot (then every arrival raises its event as before).
    virtual bool setReceiveWant(int bytes) { Q_UNUSED(bytes); return false; }

    // Returns false when the open fails; fault() and errorString() tell why.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;

    virtual void setOutput(const QString &text) = 0;  // one byte per character (Latin-1)
    virtual QString Input() = 0;                       // up to InputLen characters, "" when none waits
    virtual short CommEvent() const = 0;

    virtual SerialFault fault() const = 0;
    virtual QString errorString() const = 0;          // the system's reason, in its words

signals:
    // One per received byte (CommEvent 2), or per arrival in PerArrival mode, and per emptied
    // output buffer with SThreshold 1 (CommEvent 1).
    void OnComm();
    // The open port went away (adapter pulled, far end closed). Raised once; the port is closed by then.
    void connectionLost(const QString &reason);
};

} // namespace kestran
