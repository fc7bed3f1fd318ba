#pragma once
// What the port box's text names: "COMn" (n 1..255) or a device path starting with "/".
#include <QString>

namespace kestran {

struct PortText {
    enum Kind { Com, Path, Invalid } kind = Invalid;
    short number = 0;    // for Com
    QString path;        // for Path
    QString problem;     // for Invalid: what is wrong, in plain words
};

PortText parsePortText(const QString &text);

} // namespace kestran
