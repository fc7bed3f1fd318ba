#include "tlsoptions.h"

#include <QCommandLineParser>

namespace kestran::cli {

namespace {
struct Field {
    const char *option;
    const char *variable;
    QString TlsSettings::*member;
};
const Field kFields[] = {
    {"ca", "KESTRAN_TLS_CA", &TlsSettings::caFile},
    {"cert", "KESTRAN_TLS_CERT", &TlsSettings::certFile},
    {"key", "KESTRAN_TLS_KEY", &TlsSettings::keyFile},
    {"pin", "KESTRAN_TLS_PIN", &TlsSettings::pin},
};
} // namespace

QList<QCommandLineOption> tlsOptions()
{
    return {
        {QStringLiteral("ca"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("cert"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("key"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("pin"), QString(), QStringLiteral("SHA256")},
    };
}

QStringList tlsOptionNames()
{
    QStringList names;
    for (const Field &f : kFields)
        names << QLatin1String(f.option);
    return names;
}

TlsSettings tlsSettingsFrom(const QCommandLineParser &parser, QString *twice)
{
    TlsSettings s;
    QStringList from;
    for (const Field &f : kFields) {
        const QString option = QLatin1String(f.option);
        const QStringList values = parser.values(option);
        if (values.size() > 1 && twice)
            *twice = option;
        if (!values.isEmpty()) {
            s.*f.member = values.last().trimmed();
            from << QStringLiteral("--") + option;
        } else if (!qEnvironmentVariable(f.variable).trimmed().isEmpty()) {
            s.*f.member = qEnvironmentVariable(f.variable).trimmed();
            from << QLatin1String(f.variable);
        }
    }
    s.source = from.join(QStringLiteral(", "));
    return s;
}

} // namespace kestran::cli
