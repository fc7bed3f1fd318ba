#include "linefibers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define KESTRAN_NO_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRAN_NO_FIBERS 1
#endif
#endif
#if defined(Q_OS_WIN)
#define KESTRAN_NO_FIBERS 1
#endif

#ifndef KESTRAN_NO_FIBERS
#include <ucontext.h>
#endif

namespace kestran {

namespace {
thread_local LineFibers *t_fibers = nullptr;

[[maybe_unused]] qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
// Deep enough for a line's work (the port's open, the client, the messages).
constexpr size_t kStackBytes = 512 * 1024;
} // namespace

#ifndef KESTRAN_NO_FIBERS

struct LineFibers::Fiber {
    ucontext_t context{};
    std::unique_ptr<char[]> stack;
    std::function<void()> work;
    bool done = false;
};

struct LineFibers::Main {
    ucontext_t context{};
};

bool LineFibers::available() { return true; }

LineFibers::LineFibers(qint64 roundNs) : m_roundNs(roundNs), m_main(std::make_unique<Main>()) {}

LineFibers::~LineFibers() = default;

void LineFibers::add(std::function<void()> work)
{
    auto f = std::make_unique<Fiber>();
    f->work = std::move(work);
    f->stack.reset(new char[kStackBytes]);
    getcontext(&f->context);
    f->context.uc_stack.ss_sp = f->stack.get();
    f->context.uc_stack.ss_size = kStackBytes;
    f->context.uc_link = &m_main->context;
    // makecontext passes only ints: the owner travels in two halves.
    const auto self = quintptr(this);
    makecontext(&f->context, reinterpret_cast<void (*)()>(&LineFibers::start), 2, unsigned(quint64(self) >> 32),
                unsigned(quint64(self) & 0xffffffffu));
    m_fibers.push_back(std::move(f));
}

void LineFibers::start(unsigned hi, unsigned lo)
{
    auto *self = reinterpret_cast<LineFibers *>(quintptr((quint64(hi) << 32) | quint64(lo)));
    Fiber *f = self->m_current;
    f->work();
    f->done = true;
    // Returning goes to uc_link: the round that resumed this fiber.
}

void LineFibers::switchTo(Fiber *f)
{
    m_current = f;
    swapcontext(&m_main->context, &f->context);
    m_current = nullptr;
}

bool LineFibers::inFiber() { return t_fibers && t_fibers->m_current; }

void LineFibers::wait(qint64 withinNs)
{
    LineFibers *self = t_fibers;
    self->m_roundAsked = true;
    if (withinNs >= 0) {
        const qint64 by = steadyNs() + withinNs;
        self->m_wakeByNs = self->m_wakeByNs < 0 ? by : std::min(self->m_wakeByNs, by);
    }
    Fiber *f = self->m_current;
    swapcontext(&f->context, &self->m_main->context);
}

void LineFibers::sleep(qint64 withinNs)
{
    LineFibers *self = t_fibers;
    const qint64 by = steadyNs() + std::max<qint64>(0, withinNs);
    self->m_wakeByNs = self->m_wakeByNs < 0 ? by : std::min(self->m_wakeByNs, by);
    Fiber *f = self->m_current;
    swapcontext(&f->context, &self->m_main->context);
}

void LineFibers::run()
{
    LineFibers *outer = t_fibers;
    t_fibers = this;
    QTimer due;
    due.setSingleShot(true);
    due.setTimerType(Qt::PreciseTimer);
    for (;;) {
        const qint64 round = steadyNs();
        m_wakeByNs = -1;
        m_roundAsked = false;
        bool left = false;
        for (auto &f : m_fibers) {
            if (f->done)
                continue;
            switchTo(f.get());
            left = left || !f->done;
        }
        if (!left)
            break;
        if (!m_roundAsked && m_wakeByNs >= 0) {
            // Every line waits for its bytes, or its time.
            const qint64 rest = m_wakeByNs - steadyNs();
            due.start(int(qBound<qint64>(0, (rest + 999999) / 1000000, qint64(24) * 3600 * 1000)));
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            due.stop();
            continue;
        }
        // Outside the event loop: every line's driver keeps what comes meanwhile.
        qint64 next = round + m_roundNs;
        if (m_wakeByNs >= 0)
            next = std::min(next, m_wakeByNs);
        const qint64 now = steadyNs();
        if (next > now)
            std::this_thread::sleep_for(std::chrono::nanoseconds(next - now));
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    t_fibers = outer;
}

#else

struct LineFibers::Fiber {};
struct LineFibers::Main {};
bool LineFibers::available() { return false; }
LineFibers::LineFibers(qint64 roundNs) : m_roundNs(roundNs) {}
LineFibers::~LineFibers() = default;
void LineFibers::add(std::function<void()> work) { work(); }
void LineFibers::run() {}
void LineFibers::start(unsigned, unsigned) {}
void LineFibers::switchTo(Fiber *) {}
bool LineFibers::inFiber() { return false; }
void LineFibers::wait(qint64) {}
void LineFibers::sleep(qint64) {}

#endif

} // namespace kestran
