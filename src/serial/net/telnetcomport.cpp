#include "telnetcomport.h"

#include <QStringList>

namespace kestran {

namespace {
constexpr char kCr = '\r';
// A peer cannot make this side hold more than this of one subnegotiation.
constexpr int kMaxSub = 256;

void appendEscaped(QByteArray *out, char byte)
{
    out->append(byte);
    if (quint8(byte) == TelnetComPort::IAC)
        out->append(byte);
}

QByteArray comPortCommand(quint8 command, const QByteArray &value)
{
    QByteArray out;
    out.append(char(TelnetComPort::IAC)).append(char(TelnetComPort::SB))
        .append(char(TelnetComPort::OptComPort)).append(char(command));
    for (const char b : value)
        appendEscaped(&out, b);
    out.append(char(TelnetComPort::IAC)).append(char(TelnetComPort::SE));
    return out;
}

QByteArray option(quint8 command, quint8 opt)
{
    return QByteArray() + char(TelnetComPort::IAC) + char(command) + char(opt);
}
} // namespace

void TelnetComPort::reset()
{
    m_us.fill(No);
    m_him.fill(No);
    m_reading = Data;
    m_afterCr = false;
    m_subOverflow = false;
    m_sub.clear();
    for (QByteArray &c : m_confirmed)
        c.clear();
}

bool TelnetComPort::wanted(quint8 opt, bool ourSide)
{
    // The COM-PORT-OPTION goes one way only: this side sends the commands.
    return opt == OptBinary || opt == OptSuppressGoAhead || (ourSide && opt == OptComPort);
}

QByteArray TelnetComPort::opening(const Line &line)
{
    reset();
    QByteArray out;
    for (const quint8 opt : {OptBinary, OptSuppressGoAhead}) {
        m_us[opt] = WantYes;
        m_him[opt] = WantYes;
        out += option(WILL, opt) + option(DO, opt);
    }
    m_us[OptComPort] = WantYes;
    out += option(WILL, OptComPort);
    return out + lineSettings(line) + dtrControl(line.dtr);
}

QByteArray TelnetComPort::lineSettings(const Line &line)
{
    const QByteArray baud = QByteArray() + char(line.baud >> 24) + char(line.baud >> 16)
        + char(line.baud >> 8) + char(line.baud);
    return comPortCommand(SetBaudRate, baud) + comPortCommand(SetDataSize, QByteArray(1, char(line.dataBits)))
        + comPortCommand(SetParity, QByteArray(1, char(line.parity)))
        + comPortCommand(SetStopSize, QByteArray(1, char(line.stopSize)));
}

QByteArray TelnetComPort::dtrControl(bool on)
{
    return comPortCommand(SetControl, QByteArray(1, char(on ? 8 : 9)));
}

QByteArray TelnetComPort::purgeBoth()
{
    return comPortCommand(PurgeData, QByteArray(1, char(3)));
}

QByteArray TelnetComPort::encode(const QByteArray &lineBytes) const
{
    // Asked for counts as agreed: the peer reads our WILL BINARY before these bytes.
    const bool binary = binaryFor(m_us[OptBinary]);
    QByteArray out;
    out.reserve(lineBytes.size() + 8);
    for (const char b : lineBytes) {
        appendEscaped(&out, b);
        if (b == kCr && !binary)
            out.append('\0');
    }
    return out;
}

QByteArray TelnetComPort::decode(const QByteArray &received, QByteArray *answer)
{
    QByteArray line;
    for (const char c : received) {
        const quint8 b = quint8(c);
        switch (m_reading) {
        case Data:
            if (b == IAC) {
                m_reading = Command;
            } else if (b == 0 && m_afterCr && !binaryFor(m_him[OptBinary])) {
                m_afterCr = false;   // the NUL a text-mode peer puts after CR
            } else {
                line.append(c);
                m_afterCr = c == kCr;
            }
            break;
        case Command:
            m_reading = Data;
            if (b == IAC) {
                line.append(c);
                m_afterCr = false;
            } else if (b >= WILL) {
                m_command = b;
                m_reading = Option;
            } else if (b == SB) {
                m_sub.clear();
                m_subOverflow = false;
                m_reading = Sub;
            }   // NOP, GA, DM and the rest carry nothing for the line
            break;
        case Option:
            negotiate(m_command, b, answer);
            m_reading = Data;
            break;
        case Sub:
            if (b == IAC) {
                m_reading = SubCommand;
            } else if (m_sub.size() < kMaxSub) {
                m_sub.append(c);
            } else {
                m_subOverflow = true;
            }
            break;
        case SubCommand:
            if (b == IAC) {
                if (m_sub.size() < kMaxSub)
                    m_sub.append(c);
                m_reading = Sub;
            } else if (b == SE) {
                subnegotiation();
                m_reading = Data;
            } else {
                // A command inside a subnegotiation ends it unfinished; the
                // command itself is read as if the subnegotiation had ended.
                m_reading = Command;
                const QByteArray rest(1, c);
                line += decode(rest, answer);
            }
            break;
        }
    }
    return line;
}

void TelnetComPort::negotiate(quint8 command, quint8 opt, QByteArray *answer)
{
    // RFC 1143: answer a request only when it changes the option's state, so
    // two sides can never loop on each other.
    const bool ourSide = command == DO || command == DONT;
    const bool enable = command == WILL || command == DO;
    State &state = ourSide ? m_us[opt] : m_him[opt];
    const quint8 agree = ourSide ? WILL : DO;
    const quint8 refuse = ourSide ? WONT : DONT;
    if (enable) {
        if (state == No) {
            const bool ok = wanted(opt, ourSide);
            state = ok ? Yes : No;
            answer->append(option(ok ? agree : refuse, opt));
        } else if (state != Yes) {
            state = state == WantYes ? Yes : No;
        }
    } else {
        if (state == Yes)
            answer->append(option(refuse, opt));
        state = No;
    }
}

void TelnetComPort::subnegotiation()
{
    if (m_subOverflow || m_sub.size() < 2 || quint8(m_sub.at(0)) != OptComPort)
        return;
    const int command = quint8(m_sub.at(1)) - ServerOffset;
    if (command >= 0 && command < int(m_confirmed.size()))
        m_confirmed[size_t(command)] = m_sub.mid(2);
}

QByteArray TelnetComPort::confirmed(int command) const
{
    return command >= 0 && command < int(m_confirmed.size()) ? m_confirmed[size_t(command)] : QByteArray();
}

void TelnetComPort::setLine(const LineSettings &settings, Line *out)
{
    out->baud = quint32(settings.baud);
    out->parity = quint8(QStringLiteral("NOEMS").indexOf(QLatin1Char(settings.parity)) + 1);
    out->dataBits = quint8(settings.dataBits);
    out->stopSize = settings.stopBits == QLatin1String("2") ? 2 : settings.stopBits == QLatin1String("1.5") ? 3 : 1;
}

} // namespace kestran
