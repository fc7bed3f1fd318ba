#include "snapshot.h"

#include "parameters.h"
#include "valueinput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

namespace kestran {

const SavedDevice *SavedLine::find(int device) const
{
    for (const SavedDevice &d : devices)
        if (d.device == device)
            return &d;
    return nullptr;
}

const SavedLine *Snapshot::find(const QString &name) const
{
    for (const SavedLine &l : lines)
        if (l.name == name)
            return &l;
    return nullptr;
}

QByteArray Snapshot::toJson() const
{
    QJsonArray list;
    for (const SavedLine &line : lines) {
        list.append(QJsonObject{{QStringLiteral("name"), line.name},
                                {QStringLiteral("port"), line.port},
                                {QStringLiteral("devices"), devicesJson(line.devices)}});
    }
    const QJsonObject root{
        {QStringLiteral("format"), QLatin1String(Backup::kFormat)},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("created"), created},
        {QStringLiteral("tool"), tool},
        {QStringLiteral("lines"), list},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool parseSnapshot(const QByteArray &json, Snapshot *out, QString *error)
{
    auto fail = [error](const QString &where, const QString &what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(where, what);
        return false;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    const QJsonValue version = doc.isObject() ? doc.object().value(QLatin1String("version")) : QJsonValue();
    if (doc.isObject() && doc.object().value(QLatin1String("format")).toString() == QLatin1String(Backup::kFormat)
        && version.isDouble() && version.toDouble() != Backup::kVersion && version.toDouble() != Snapshot::kVersion)
        return fail(QStringLiteral("version"), QStringLiteral("version %1 is not supported (this tool reads versions %2 and %3)")
                                                   .arg(version.toDouble()).arg(Backup::kVersion).arg(Snapshot::kVersion));
    // Anything but a well-formed version 2 is the one-line reader's to judge
    // (and to refuse with its own words).
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()
        || doc.object().value(QLatin1String("format")).toString() != QLatin1String(Backup::kFormat)
        || !version.isDouble() || version.toDouble() != Snapshot::kVersion) {
        Backup backup;
        if (!parseBackup(json, &backup, error))
            return false;
        Snapshot one;
        one.created = backup.created;
        one.tool = backup.tool;
        one.lines.append({QString(), backup.port, backup.devices});
        *out = one;
        return true;
    }
    const QJsonObject root = doc.object();
    for (const char *key : {"created", "tool"}) {
        const QJsonValue v = root.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isString())
            return fail(QLatin1String(key), QStringLiteral("must be a text"));
    }
    const QJsonValue lines = root.value(QLatin1String("lines"));
    if (!lines.isArray())
        return fail(QStringLiteral("lines"), QStringLiteral("missing or not a list"));

    // The names a plant file allows, so that every saved line can be chosen by name.
    static const QRegularExpression namePattern(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    Snapshot snapshot;
    snapshot.plant = true;
    snapshot.created = root.value(QLatin1String("created")).toString();
    snapshot.tool = root.value(QLatin1String("tool")).toString();
    const QJsonArray list = lines.toArray();
    QSet<QString> names;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("lines[%1]").arg(i);
        if (!list[i].isObject())
            return fail(where, QStringLiteral("not an object"));
        const QJsonObject entry = list[i].toObject();
        for (auto it = entry.begin(); it != entry.end(); ++it)
            if (it.key() != QLatin1String("name") && it.key() != QLatin1String("port") && it.key() != QLatin1String("devices"))
                return fail(where + QLatin1Char('.') + it.key(), QStringLiteral("unknown key"));
        const QJsonValue name = entry.value(QLatin1String("name"));
        if (!name.isString() || !namePattern.match(name.toString()).hasMatch())
            return fail(where + QStringLiteral(".name"),
                        QStringLiteral("must be a line name of 1 to 64 letters, digits, \u201C.\u201D, \u201C_\u201D or \u201C-\u201D"));
        if (names.contains(name.toString()))
            return fail(where + QStringLiteral(".name"), QStringLiteral("line \u201C%1\u201D is saved twice").arg(name.toString()));
        names.insert(name.toString());
        const QJsonValue port = entry.value(QLatin1String("port"));
        if (!port.isString())
            return fail(where + QStringLiteral(".port"), QStringLiteral("missing or not a text"));
        // Each line's devices under the rules of a one-line backup's.
        QVector<SavedDevice> devices;
        QString why;
        if (!readDevices(entry.value(QLatin1String("devices")), &devices, &why)) {
            if (error)
                *error = where + QLatin1Char('.') + why;   // "lines[1].devices[0].values.RESET: ..."
            return false;
        }
        snapshot.lines.append({name.toString(), port.toString(), devices});
    }
    *out = snapshot;
    return true;
}

} // namespace kestran
