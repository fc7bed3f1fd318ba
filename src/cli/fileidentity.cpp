// What both systems share of a file's identity.
#include "fileidentity.h"

#include <QFileInfo>

namespace kestran::cli {

bool FileIdentity::operator==(const FileIdentity &o) const
{
    if (exists != o.exists)
        return false;
    if (exists)
        return !key.isEmpty() && key == o.key && (volume.isEmpty() || o.volume.isEmpty() || volume == o.volume);
    return !path.isEmpty() && path == o.path;
}

QString plannedPath(const QString &name)
{
    const QFileInfo info(name);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
}

} // namespace kestran::cli
