// A file's identity on Windows: the volume's serial number and the file's ID,
// asked of an open handle (FileIdInfo, which needs no access right on the
// handle; GetFileInformationByHandle where that is not there). Devices (COM3,
// \\.\COM12, NUL, CON) are known by their name and never opened: opening a
// serial port to look at it would take it from its owner.
#include "fileidentity.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <windows.h>

namespace kestran::cli {

namespace {

// Volume and file ID of an open file into `id`; false when the system gives none.
bool identifyHandle(HANDLE h, FileIdentity *id)
{
    FILE_ID_INFO info {};
    if (::GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info)) {
        // A serial number of 0 is no volume the system could name.
        id->volume = info.VolumeSerialNumber ? QString::number(quint64(info.VolumeSerialNumber)) : QString();
        id->key = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(info.FileId.Identifier),
                                                 int(sizeof info.FileId.Identifier)).toHex());
        return true;
    }
    BY_HANDLE_FILE_INFORMATION fi {};
    if (!::GetFileInformationByHandle(h, &fi))
        return false;
    // The same 128-bit spelling as above: the 64-bit index, low byte first.
    QByteArray bytes(16, '\0');
    const quint64 index = (quint64(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
    for (int i = 0; i < 8; ++i)
        bytes[i] = char((index >> (8 * i)) & 0xff);
    id->volume = fi.dwVolumeSerialNumber ? QString::number(quint64(fi.dwVolumeSerialNumber)) : QString();
    id->key = QString::fromLatin1(bytes.toHex());
    return true;
}

// The device a name stands for ("COM3", "NUL", "\\.\COM12"), upper case;
// empty when it names a file.
QString deviceName(const QString &name)
{
    const QString n = QDir::fromNativeSeparators(name);
    if (n.startsWith(QLatin1String("//./"))) {
        const QString rest = n.mid(4);
        // \\.\C:\folder\file is a file in the device namespace's spelling.
        if (!(rest.size() >= 2 && rest.at(1) == QLatin1Char(':')))
            return rest.toUpper();
    }
    // The reserved names, in any folder. (With an extension, "NUL.txt", older
    // Windows means the device too, newer a file; it is taken as a file here.)
    static const QRegularExpression reserved(QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[1-9]|LPT[1-9])$"),
                                             QRegularExpression::CaseInsensitiveOption);
    QString base = n.section(QLatin1Char('/'), -1).trimmed();
    if (base.endsWith(QLatin1Char(':')))
        base.chop(1);
    return reserved.match(base).hasMatch() ? base.toUpper() : QString();
}

} // namespace

FileIdentity identifyFile(const QString &name)
{
    FileIdentity id;
    if (name.isEmpty())
        return id;
    const QString device = deviceName(name);
    if (!device.isEmpty()) {
        id.exists = true;
        id.characterDevice = !device.startsWith(QLatin1String("PIPE/"));
        id.volume = QStringLiteral("device");
        id.key = device == QLatin1String("CONIN$") || device == QLatin1String("CONOUT$") ? QStringLiteral("CON") : device;
        return id;
    }
    const QFileInfo info(name);
    if (!info.exists()) {
        id.path = plannedPath(name).toCaseFolded();
        return id;
    }
    id.exists = true;
    // No access asked for: this only looks, and shares everything with others.
    const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(info.absoluteFilePath()).utf16()),
                                   0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const bool known = identifyHandle(h, &id);
        ::CloseHandle(h);
        if (known)
            return id;
    }
    // Without the handle: the path with its links resolved, in one case.
    id.volume = QStringLiteral("path");
    id.key = info.canonicalFilePath().toCaseFolded();
    return id;
}

FileIdentity identifyStream(StdStream stream)
{
    FileIdentity id;
    const HANDLE h = ::GetStdHandle(stream == StdStream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return id;
    switch (::GetFileType(h)) {
    case FILE_TYPE_DISK:
        id.exists = true;
        identifyHandle(h, &id);
        break;
    case FILE_TYPE_CHAR: {
        id.exists = true;
        id.characterDevice = true;
        DWORD mode = 0;
        if (::GetConsoleMode(h, &mode)) {
            id.volume = QStringLiteral("device");
            id.key = QStringLiteral("CON");
        }
        break;
    }
    case FILE_TYPE_PIPE:
        id.exists = true;   // a pipe is no file a trace could be written to by name
        break;
    default:
        break;
    }
    return id;
}

} // namespace kestran::cli
