// The floor for start-up: a bare Qt Widgets window of the tool's size, shown
// offscreen, that reports when its first frame has been painted and ends.
// Run by bench_startup; prints "shown <CLOCK_MONOTONIC ns>" and nothing else.
//   bare_window           an empty window
//   bare_window --label   the same with one line of text (the font database is
//                         set up, as for any window that shows text)
//   bare_window --stay    the labelled window, staying until it is closed (for
//                         the close-to-exit row of bench/wine)
// Built as bare_window_linked it also loads Qt Network and Qt Serial Port, as
// the tool does, and uses nothing of them.
#include "firstpaint.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

#ifdef BARE_WINDOW_LINKED
#include <QSerialPort>
#include <QTcpSocket>
#include <cstdio>
#endif

int main(int argc, char **argv)
{
#ifdef BARE_WINDOW_LINKED
    // Referenced (never printed), so that the linker keeps both libraries.
    if (argc > 100)
        std::printf("%p %p\n", static_cast<const void *>(&QTcpSocket::staticMetaObject),
                    static_cast<const void *>(&QSerialPort::staticMetaObject));
#endif
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(333, 740);   // the tool's window size
    const bool stay = argc > 1 && std::strcmp(argv[1], "--stay") == 0;
    if (stay || (argc > 1 && std::strcmp(argv[1], "--label") == 0))
        (new QLabel(QStringLiteral("KESTRAN SETUP"), &window))->move(10, 10);
    FirstPaint watch;
    if (!stay)
        window.installEventFilter(&watch);
    window.show();
    return app.exec();
}
