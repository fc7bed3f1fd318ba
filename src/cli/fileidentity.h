#pragma once
// Which file a name, or a standard stream, stands for: two names of one file
// (a link and its target, "/dev/stdout" and a redirected standard output, two
// spellings of one path) get equal identities. The system's side is in
// fileidentity_linux.cpp (device and inode) and fileidentity_win.cpp (volume
// serial number and file index).
#include <QString>

namespace kestran::cli {

struct FileIdentity {
    bool exists = false;
    // A character device: a terminal or console, /dev/null or NUL, a serial port.
    bool characterDevice = false;
    // An existing file's identity as the system gives it: its number (inode,
    // file ID) in `key`, unique within the file system named by `volume`.
    // `key` is empty when the system has none to give (a pipe), and then the
    // file equals no other; `volume` is empty when the system cannot say which
    // file system it is, and then the key alone decides.
    QString volume;
    QString key;
    // A file not there yet: where it would be created, its folder's links resolved.
    QString path;

    bool isKnown() const { return exists || !path.isEmpty(); }
    bool operator==(const FileIdentity &o) const;
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

enum class StdStream { Input, Output };

// The file `name` names, links followed. Opens no device: a serial port is
// looked at, never opened.
FileIdentity identifyFile(const QString &name);
// The file behind standard input or output; not known when the stream is closed.
FileIdentity identifyStream(StdStream stream);

// Where a file that is not there yet would be created: its folder's canonical
// path (when the folder exists) and its name. Shared by both systems.
QString plannedPath(const QString &name);

} // namespace kestran::cli
