#include "serialswitch.h"
#include "mdlcomport.h"
#include "mscomm.h"
#include "netcomm.h"
#include "portname.h"

namespace kestran {

SerialSwitch::SerialSwitch(QObject *parent)
    : SerialControl(parent), m_local(new MSComm(this)), m_network(new NetComm(this)), m_current(m_local)
{
    for (SerialControl *c : {static_cast<SerialControl *>(m_local), static_cast<SerialControl *>(m_network)}) {
        connect(c, &SerialControl::OnComm, this, [this, c] {
            if (c == m_current)
                emit OnComm();
        });
        connect(c, &SerialControl::connectionLost, this, [this, c](const QString &reason) {
            if (c == m_current)
                emit connectionLost(reason);
        });
    }
}

SerialSwitch::~SerialSwitch() = default;

void SerialSwitch::setPortTable(PortTable *table)
{
    m_table = table;
    m_local->setPortTable(table);
}

void SerialSwitch::setCommPort(short port)
{
    m_local->setCommPort(port);
    m_network->setCommPort(port);
}

short SerialSwitch::CommPort() const { return m_local->CommPort(); }

void SerialSwitch::setDevicePath(const QString &path)
{
    m_local->setDevicePath(path);
    m_network->setDevicePath(path);
}

QString SerialSwitch::devicePath() const { return m_local->devicePath(); }

bool SerialSwitch::setSettings(const QString &settings)
{
    const bool ok = m_current->setSettings(settings);
    if (ok)
        (m_current == m_local ? static_cast<SerialControl *>(m_network) : m_local)->setSettings(settings);
    return ok;
}

QString SerialSwitch::Settings() const { return m_current->Settings(); }

void SerialSwitch::setInBufferCount(short n)
{
    m_local->setInBufferCount(n);
    m_network->setInBufferCount(n);
}

short SerialSwitch::InBufferCount() const { return m_current->InBufferCount(); }

void SerialSwitch::setInputMode(int mode)
{
    m_local->setInputMode(mode);
    m_network->setInputMode(mode);
}

void SerialSwitch::setInputLen(short n)
{
    m_local->setInputLen(n);
    m_network->setInputLen(n);
}

void SerialSwitch::setRThreshold(short n)
{
    m_local->setRThreshold(n);
    m_network->setRThreshold(n);
}

void SerialSwitch::setSThreshold(short n)
{
    m_local->setSThreshold(n);
    m_network->setSThreshold(n);
}

void SerialSwitch::setReceiveEventMode(ReceiveEventMode mode)
{
    m_local->setReceiveEventMode(mode);
    m_network->setReceiveEventMode(mode);
}

bool SerialSwitch::setReceiveWant(int bytes)
{
    return m_current->setReceiveWant(bytes);
}

void SerialSwitch::setDTREnable(bool on)
{
    m_local->setDTREnable(on);
    m_network->setDTREnable(on);
}

bool SerialSwitch::setPortOpen(bool open)
{
    if (!open) {
        // Both: the network side may be waiting for its connection.
        m_local->setPortOpen(false);
        m_network->setPortOpen(false);
        return true;
    }
    if (m_current->PortOpen())
        return true;
    QString path = devicePath();
    if (path.isEmpty()) {
        // A COM number may stand for a line behind a network port (the demo
        // line where there are no pseudo-terminals).
        const PortTable &table = m_table ? *m_table : mdlCOMPort::portTable();
        const auto device = table.device(CommPort());
        if (device && parsePortText(device->path).isNetwork())
            path = device->path;
    }
    m_current = parsePortText(path).isNetwork() ? static_cast<SerialControl *>(m_network) : m_local;
    if (m_current == m_network && path != devicePath()) {
        m_network->setDevicePath(path);
        const bool ok = m_network->setPortOpen(true);
        m_network->setDevicePath(QString());
        return ok;
    }
    return m_current->setPortOpen(true);
}

void SerialSwitch::setTlsSettings(const TlsSettings &settings) { m_network->setTlsSettings(settings); }

bool SerialSwitch::PortOpen() const { return m_current->PortOpen(); }
void SerialSwitch::setOutput(const QString &text) { m_current->setOutput(text); }
QString SerialSwitch::Input() { return m_current->Input(); }
short SerialSwitch::CommEvent() const { return m_current->CommEvent(); }
SerialFault SerialSwitch::fault() const { return m_current->fault(); }
QString SerialSwitch::errorString() const { return m_current->errorString(); }

SerialControl *createSerialControl(QObject *parent)
{
    return new SerialSwitch(parent);
}

} // namespace kestran
