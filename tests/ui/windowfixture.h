#pragma once
// Shared by the window tests: reply frames, the window's message boxes, and the
// window on a serial control with simulated counters behind a pseudo-terminal.
#include "controls.h"
#include "form1.h"
#include "mscomm.h"
#include "ptycounterline.h"

#include <QApplication>
#include <QMessageBox>

#include <functional>
#include <memory>

namespace kestran {

// A reply frame as a counter sends it.
inline QByteArray reply(char addr, char index, const char *value)
{
    return QByteArray("*") + addr + "C:" + index + "=" + value + "\r";
}

// Closes the message boxes that are up; they delete themselves on close, now.
inline void closeMessageBoxes()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w))
            if (box->isVisible())
                box->done(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The first thing the window shows other than `value(index)`, "" when none: the
// fields hold the values of indexes 0, 1, 3..7 as sent and (with `displays`)
// the displays those of 0..2 as numbers.
inline QString misshown(const Form1 &form, const std::function<QByteArray(int)> &value, bool displays = true)
{
    QList<QPair<const TextBox *, QString>> wanted;
    for (int k = 0; k < 7; ++k)
        wanted.append({form.settingFields()[k], QString::fromLatin1(value("0134567"[k] - '0'))});
    for (int i = 0; displays && i < 3; ++i) {
        long n = 0;
        sim::parseValue(value(i), &n);
        wanted.append({form.displays()[i], QString::number(n)});
    }
    for (const auto &[box, want] : wanted)
        if (box->text() != want)
            return QStringLiteral("%1 shows \"%2\", not \"%3\"").arg(box->objectName(), box->text(), want);
    return QString();
}

// What the window shows other than the simulator's start-up values of `device`.
inline QString misshownInitial(const Form1 &form, int device)
{
    return misshown(form, [device](int index) { return sim::CounterLine::initialValue(device, index); });
}

// The window on a serial control; the line of simulated counters comes and goes.
template <class Comm = MSComm>
struct WindowOnLine {
    std::unique_ptr<sim::PtyCounterLine> line;
    Comm comm;
    Form1 form{&comm};

    WindowOnLine() { form.load(); }
    ~WindowOnLine() { closeMessageBoxes(); }

    // A fresh line (the old one stops and lets go of the link), linked at `link` if given.
    bool startLine(const sim::LineOptions &options = {}, const QString &link = QString())
    {
        line.reset();
        line = std::make_unique<sim::PtyCounterLine>(options);
        QString error;
        if ((!link.isEmpty() && !line->setLink(link, &error)) || !line->start(&error)) {
            qWarning("line start: %s", qPrintable(error));
            return false;
        }
        return true;
    }
    // Clicks Open on `port` (the line's own device when empty); whether the port is open then.
    bool open(const QString &port = QString())
    {
        form.cCom->setText(port.isEmpty() ? line->slavePath() : port);
        form.bCONNECT->click();
        return form.bCONNECT->text() == QLatin1String("Close");
    }
};

} // namespace kestran
