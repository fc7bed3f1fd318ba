#pragma once
// Where the window's program writes --help and --version. On Windows the
// program is a windowed one: the text goes to standard output when that leads
// somewhere (a pipe, a file), else to the console of the command prompt it was
// started from, else into a message box.
#include <QString>

namespace kestran::app {

// Shows `text` (the whole of --help or --version) as described above.
void showInformation(const QString &title, const QString &text);

} // namespace kestran::app
