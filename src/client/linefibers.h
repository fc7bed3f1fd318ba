#pragma once
// Many lines served by one thread. Each line's work is written as a plain
// conversation (send, wait for the answer, go on), and a CounterClient waits
// in it; here every line runs on a small stack of its own (a fiber) inside one
// thread, and a wait hands the thread to the next line instead of blocking it.
// The thread goes round: it lets each line go on as far as it can, then waits
// until one of them has something (its line holds bytes back until a whole
// answer is there) or its time is up, and takes in what came on every line
// (one event loop for all of them). A line that must be looked at as bytes
// come asks for a round instead: the thread then sleeps a round's time and
// takes in everything that came meanwhile, so replies are seen at most a round
// after their last byte, and it wakes once a round for all its lines, not
// once a byte for each.
//
// Only where the system has the means (not on Windows, not under the address
// sanitizer, which cannot follow a switch of stacks): available() says.
#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

namespace kestran {

class LineFibers {
public:
    static bool available();

    explicit LineFibers(qint64 roundNs);
    ~LineFibers();
    LineFibers(const LineFibers &) = delete;
    LineFibers &operator=(const LineFibers &) = delete;

    // A line's work; before run().
    void add(std::function<void()> work);
    // Serves every line in the calling thread until all their work has returned.
    void run();

    // Inside a line's work: true, and wait() hands the thread on until the
    // next round; `withinNs` >= 0 asks for that round to come no later than
    // that (a reply's end that is due).
    static bool inFiber();
    static void wait(qint64 withinNs = -1);
    // Inside a line's work: hands the thread on until something comes for any
    // of its lines, or `withinNs` has passed.
    static void sleep(qint64 withinNs);

private:
    struct Fiber;
    static void start(unsigned hi, unsigned lo);
    void switchTo(Fiber *f);

    qint64 m_roundNs;
    std::vector<std::unique_ptr<Fiber>> m_fibers;
    struct Main;
    std::unique_ptr<Main> m_main;
    Fiber *m_current = nullptr;
    qint64 m_wakeByNs = -1;   // the earliest round a line asked for (steady clock), -1: none
    bool m_roundAsked = false; // a line asked to be looked at after a round's time
};

} // namespace kestran
