#pragma once
// The plant file: the serial lines of a plant by name, written and kept by
// hand, in TOML.
//
//   # Hall 2
//   [[line]]
//   name = "press-3"
//   port = "/dev/serial/by-id/usb-FTDI_FT232R_A10K3Q2L-if00-port0"
//   devices = [0, 1, 5]          # optional; default: every device that answers
//
//   [[line]]
//   name = "press-4"
//   port = "rfc2217://gw-hall2:4004"
//
//   [[line]]
//   name = "press-5"
//   port = "tls://gw-hall3.plant.example:3001"
//   tls = { pin = "AB:CD:..." }    # optional; this line's TLS settings
//
//   [tls]                          # optional; for every line of the file
//   ca = "plant-ca.crt"            # relative names: from the file's folder
//   cert = "ctl.crt"
//   key = "ctl.key"
//
//   [history]                      # optional; where changes are recorded
//   database = "plant-history"     # a libpq service name, a postgresql:// URL, sqlite:FILE
//   require = true                 # nothing is written where no entry can be made
//
// Every mistake is refused with the file's line number: a key that is not
// one of these, a name used twice, two lines on one port, a port text that
// names no port, a device number outside 0 to 7.
#include <QByteArray>
#include <QString>
#include <QVector>

#include "tlssettings.h"

namespace kestran {

class PortTable;

struct PlantLine {
    QString name;           // letters, digits, ".", "_" and "-"
    QString port;           // as written, trimmed
    QVector<int> devices;   // ascending; empty: every device that answers
    int fileLine = 0;       // where its [[line]] header is
    TlsSettings tls;        // its own settings over the file's [tls]; empty fields: not given
};

struct Plant {
    QVector<PlantLine> lines;   // in the file's order
    // [history], as written (the history checks the database text).
    bool historyGiven = false;
    QString historyDatabase;
    bool historyRequire = false;
    int historyLine = 0;

    const PlantLine *find(const QString &name) const;
};

// Reads a plant file's text. On failure returns false and sets `error` to
// "SOURCE:LINE: what is wrong" (SOURCE is how the file is named in
// messages). `table` maps COMn for the duplicate-port check (default: the
// system's).
bool parsePlant(const QByteArray &text, const QString &source, Plant *out, QString *error,
                PortTable *table = nullptr);

// Why a port text names no port, in plain words; "" when it names one.
QString portProblem(const QString &portText);

// The key under which two port texts reaching the same port compare equal:
// COMn and the device it maps to, a link and its target, a gateway's host in
// any case.
QString portIdentity(const QString &portText, PortTable *table = nullptr);

} // namespace kestran
