#include "frames.h"

namespace kestran {

QString deviceAddress(const QString &deviceText)
{
    // "Device-0" .. "Device-7": the digit is the eighth character.
    return deviceText.mid(7, 1);
}

namespace {

// Every frame is written as eight consecutive pieces, without yielding in
// between, so two frames never interleave on the line.
void sendFrame(FrameOutput &out, QChar operation, const QString &index, const QString &value)
{
    const QString address = deviceAddress(out.deviceText());
    out.output(QStringLiteral("*"));
    out.output(address);
    out.output(QString(operation));
    out.output(QStringLiteral(":"));
    out.output(index);
    out.output(QStringLiteral("="));
    out.output(value);
    out.output(QString(QChar(kCR)));
}

QByteArray byteFrame(QChar address, char operation, QChar index, const QByteArray &value)
{
    QByteArray frame;
    frame.reserve(7 + value.size() + 1);
    frame += '*';
    frame += address.toLatin1();
    frame += operation;
    frame += ':';
    frame += index.toLatin1();
    frame += '=';
    frame += value;
    frame += kCR;
    return frame;
}

} // namespace

void SendReadAll(FrameOutput &out)
{
    sendFrame(out, QLatin1Char('R'), QStringLiteral("?"), QStringLiteral("?"));
}

void SendWrite(FrameOutput &out, QChar index, const QString &value)
{
    // The value field goes out as it stands; the caller has checked its length.
    sendFrame(out, QLatin1Char('W'), QString(index), value);
}

QByteArray readAllFrame(QChar address)
{
    return byteFrame(address, 'R', QLatin1Char('?'), QByteArrayLiteral("?"));
}

QByteArray writeFrame(QChar address, QChar index, const QByteArray &value)
{
    return byteFrame(address, 'W', index, value);
}

QByteArray replyFrame(QChar address, QChar index, const QByteArray &value)
{
    return byteFrame(address, 'C', index, value);
}

} // namespace kestran
