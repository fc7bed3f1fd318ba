#pragma once
// kestran-ctl's TLS settings: --ca, --cert, --key and --pin, each over its
// environment variable (KESTRAN_TLS_CA, _CERT, _KEY, _PIN).
#include "tlssettings.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

namespace kestran::cli {

QList<QCommandLineOption> tlsOptions();
// The names of those options, which every subcommand takes.
QStringList tlsOptionNames();
// The settings given; "" when one is given twice (then `twice` names it).
TlsSettings tlsSettingsFrom(const QCommandLineParser &parser, QString *twice);

} // namespace kestran::cli
