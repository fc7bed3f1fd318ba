#include "linesettings.h"
#include "mdlcomport.h"
#include "portname.h"
#include "serialcontrol.h"

#include <QStringList>

namespace kestran {

QString LineSettings::text() const
{
    return QStringLiteral("%1,%2,%3,%4").arg(baud).arg(QLatin1Char(parity)).arg(dataBits).arg(stopBits);
}

bool parseLineSettings(const QString &text, LineSettings *out)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    const QString baudText = parts.at(0).trimmed();
    const QString parityText = parts.at(1).trimmed().toUpper();
    const QString dataText = parts.at(2).trimmed();
    const QString stopText = parts.at(3).trimmed();

    if (baudText.isEmpty() || baudText.size() > 7)
        return false;
    for (const QChar c : baudText) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const qint32 baud = baudText.toInt();
    if (baud < 1 || baud > 4000000)
        return false;
    if (parityText.size() != 1 || !QStringLiteral("NEOMS").contains(parityText))
        return false;
    if (dataText.size() != 1 || dataText.at(0) < QLatin1Char('5') || dataText.at(0) > QLatin1Char('8'))
        return false;
    if (stopText != QLatin1String("1") && stopText != QLatin1String("1.5") && stopText != QLatin1String("2"))
        return false;

    out->baud = baud;
    out->parity = parityText.at(0).toLatin1();
    out->dataBits = dataText.toInt();
    out->stopBits = stopText;
    return true;
}

QString badLineSettingsText(const QString &text)
{
    return QStringLiteral("\u201C%1\u201D is not a line setting (expected baud,parity,data,stop such as 19200,N,8,1)")
        .arg(text);
}

QString selectPort(SerialControl &comm, const PortText &port, const PortTable &table)
{
    if (port.kind == PortText::Com) {
        comm.setDevicePath(QString());
        comm.setCommPort(port.number);
        const auto dev = table.device(port.number);
        return dev ? dev->path : QString();
    }
    comm.setDevicePath(port.path);
    return port.path;
}

bool openCounterLine(SerialControl &comm, const LineSetup &setup)
{
    comm.setSettings(QStringLiteral("19200,N,8,1"));
    comm.setInBufferCount(0);
    comm.setInputMode(0);
    comm.setInputLen(setup.inputLen);
    comm.setRThreshold(1);
    comm.setSThreshold(setup.sThreshold);
    comm.setDTREnable(false);
    if (!comm.setPortOpen(true))
        return false;
    // Bytes that waited in the port before it was opened (late replies to a
    // program that ran before) answer nothing of ours.
    if (setup.dropWaitingAfterOpen)
        comm.setInBufferCount(0);
    return true;
}

} // namespace kestran
