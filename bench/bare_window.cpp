// The floor for start-up: a bare Qt Widgets window of the tool's size, shown
// offscreen, that reports when its first frame has been painted and ends.
// Run by bench_startup; prints "shown <CLOCK_MONOTONIC ns>" and nothing else.
//   bare_window           an empty window
//   bare_window --label   the same with one line of text (the font database is
//                         set up, as for any window that shows text)
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Ends the program just after the first paint of the watched window has been handled.
class FirstPaint : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, qApp, [] {
                timespec ts{};
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::printf("shown %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, e);
    }

private:
    bool m_seen = false;
};

} // namespace

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
