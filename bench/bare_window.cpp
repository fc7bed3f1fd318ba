// The floor for start-up: a bare Qt Widgets window of the tool's size, shown
// offscreen, that reports when its first frame has been painted and ends.
// Run by bench_startup; prints "shown <CLOCK_MONOTONIC ns>" and nothing else.
//   bare_window           an empty window
//   bare_window --label   the same with one line of text (the font database is
//                         set up, as for any window that shows text)
#include "firstpaint.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(333, 740);   // the tool's window size
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0)
        (new QLabel(QStringLiteral("KESTRAN SETUP"), &window))->move(10, 10);
    FirstPaint watch;
    window.installEventFilter(&watch);
    window.show();
    return app.exec();
}
