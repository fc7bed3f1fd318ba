// A file's identity on Linux: its device and inode number, from stat() of a
// name (links followed) or fstat() of a standard stream.
#include "fileidentity.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace kestran::cli {

namespace {

FileIdentity fromStat(const struct stat &st)
{
    FileIdentity id;
    id.exists = true;
    id.characterDevice = S_ISCHR(st.st_mode);
    id.volume = QString::number(quint64(st.st_dev));
    id.key = QString::number(quint64(st.st_ino));
    return id;
}

} // namespace

FileIdentity identifyFile(const QString &name)
{
    if (name.isEmpty())
        return {};
    struct stat st {};
    if (::stat(QFile::encodeName(name).constData(), &st) == 0)
        return fromStat(st);
    FileIdentity id;
    id.path = plannedPath(name);
    return id;
}

FileIdentity identifyStream(StdStream stream)
{
    struct stat st {};
    if (::fstat(stream == StdStream::Input ? STDIN_FILENO : STDOUT_FILENO, &st) != 0)
        return {};
    return fromStat(st);
}

} // namespace kestran::cli
