#include "backupfile.h"
#include "parameters.h"
#include "valueinput.h"
#include "values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace kestran {

const SavedDevice *Backup::find(int device) const
{
    for (const SavedDevice &d : devices)
        if (d.device == device)
            return &d;
    return nullptr;
}

QJsonArray devicesJson(const QVector<SavedDevice> &devices)
{
    QJsonArray list;
    for (const SavedDevice &d : devices) {
        QJsonObject values;
        for (auto it = d.values.cbegin(); it != d.values.cend(); ++it)
            values.insert(scriptName(*parameterFor(QLatin1Char(it.key()))), it.value());
        list.append(QJsonObject{{QStringLiteral("device"), d.device}, {QStringLiteral("values"), values}});
    }
    return list;
}

QByteArray Backup::toJson() const
{
    const QJsonObject root{
        {QStringLiteral("format"), QLatin1String(kFormat)},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("created"), created},
        {QStringLiteral("tool"), tool},
        {QStringLiteral("port"), port},
        {QStringLiteral("devices"), devicesJson(devices)},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {
// "line L, column C" of a byte offset.
QString placeOf(const QByteArray &text, qsizetype offset)
{
    offset = qBound<qsizetype>(0, offset, text.size());
    int line = 1, column = 1;
    for (qsizetype i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}
} // namespace

bool parseBackup(const QByteArray &json, Backup *out, QString *error)
{
    auto fail = [error](const QString &where, const QString &what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(where, what);
        return false;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(placeOf(json, parseError.offset), QStringLiteral("not valid JSON (%1)").arg(parseError.errorString()));
    if (!doc.isObject())
        return fail(QStringLiteral("top level"), QStringLiteral("not a JSON object"));
    const QJsonObject root = doc.object();

    const QJsonValue format = root.value(QLatin1String("format"));
    if (format.toString() != QLatin1String(Backup::kFormat))
        return fail(QStringLiteral("format"),
                    QStringLiteral("not a KESTRAN backup (format \u201C%1\u201D, expected \u201C%2\u201D)")
                        .arg(format.isString() ? format.toString() : QStringLiteral("missing"), QLatin1String(Backup::kFormat)));
    const QJsonValue version = root.value(QLatin1String("version"));
    if (!version.isDouble() && !version.isUndefined())
        return fail(QStringLiteral("version"),
                    QStringLiteral("must be a number such as %1, without quotes").arg(Backup::kVersion));
    if (!version.isDouble() || version.toDouble() != Backup::kVersion)
        return fail(QStringLiteral("version"),
                    QStringLiteral("version %1 is not supported (this tool reads version %2)")
                        .arg(version.isDouble() ? QString::number(version.toDouble())
                                                : QStringLiteral("missing"))
                        .arg(Backup::kVersion));
    for (const char *key : {"created", "tool", "port"}) {
        const QJsonValue v = root.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isString())
            return fail(QLatin1String(key), QStringLiteral("must be a text"));
    }
    Backup backup;
    backup.created = root.value(QLatin1String("created")).toString();
    backup.tool = root.value(QLatin1String("tool")).toString();
    backup.port = root.value(QLatin1String("port")).toString();
    if (!readDevices(root.value(QLatin1String("devices")), &backup.devices, error))
        return false;
    *out = backup;
    return true;
}

bool readDevices(const QJsonValue &devices, QVector<SavedDevice> *out, QString *error)
{
    auto fail = [error](const QString &where, const QString &what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(where, what);
        return false;
    };
    if (!devices.isArray())
        return fail(QStringLiteral("devices"), QStringLiteral("missing or not a list"));
    QVector<SavedDevice> read;
    QSet<int> seen;
    const QJsonArray list = devices.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("devices[%1]").arg(i);
        if (!list[i].isObject())
            return fail(where, QStringLiteral("not an object"));
        const QJsonObject entry = list[i].toObject();
        const QJsonValue number = entry.value(QLatin1String("device"));
        const double n = number.toDouble(-1);
        // The range first: converting a huge number to int is undefined.
        if (!number.isDouble() || !(n >= 0 && n <= 7) || n != int(n))
            return fail(where + QStringLiteral(".device"), QStringLiteral("must be a device number from 0 to 7"));
        if (seen.contains(int(n)))
            return fail(where + QStringLiteral(".device"), QStringLiteral("device %1 is saved twice").arg(int(n)));
        seen.insert(int(n));
        const QJsonValue values = entry.value(QLatin1String("values"));
        if (!values.isObject())
            return fail(where + QStringLiteral(".values"), QStringLiteral("missing or not an object"));
        SavedDevice saved;
        saved.device = int(n);
        const QJsonObject map = values.toObject();
        for (auto it = map.begin(); it != map.end(); ++it) {
            const QString at = QStringLiteral("%1.values.%2").arg(where, it.key());
            const Parameter *p = parameterByName(it.key());
            if (!p)
                return fail(at, QStringLiteral("unknown name"));
            if (saved.values.contains(p->index))
                return fail(at, QStringLiteral("%1 is given twice").arg(scriptName(*p)));
            if (!it.value().isString())
                return fail(at, QStringLiteral("must be a value field in quotes, such as \"+0001234\""));
            const QString field = it.value().toString();
            if (p->hasSetting ? !(isWellFormedField(field) && hasValueShape(p->shape, field)) : field.size() != 8)
                return fail(at, QStringLiteral("\u201C%1\u201D does not have the value shape of %2")
                                    .arg(field, scriptName(*p)));
            saved.values.insert(p->index, field);
        }
        if (saved.values.isEmpty())
            return fail(where + QStringLiteral(".values"), QStringLiteral("device %1 holds no value").arg(saved.device));
        read.append(saved);
    }
    *out = read;
    return true;
}

} // namespace kestran
