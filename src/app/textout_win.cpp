#include "textout.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextStream>

#include <windows.h>

#include <cstdio>

namespace kestran::app {

namespace {

// Standard output leads somewhere already (redirected by the caller).
bool hasOwnOutput()
{
    const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

} // namespace

void showInformation(const QString &title, const QString &text)
{
    if (hasOwnOutput()) {
        QTextStream(stdout) << text;
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        // The prompt has already been printed: start on a line of our own.
        FILE *out = std::freopen("CONOUT$", "w", stdout);
        if (out) {
            QTextStream(stdout) << "\n" << text;
            std::fflush(stdout);
            return;
        }
    }
    int argc = 1;
    char name[] = "kestran-setup";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok);
    QFont mono = box.font();
    mono.setFamily(QStringLiteral("Consolas"));
    box.setFont(mono);
    box.exec();
}

} // namespace kestran::app
