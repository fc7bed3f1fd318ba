#pragma once
// What the line server puts on record: every write any client sends, under
// the client's certificate name (or its address), committed when the write
// is taken and before it goes out; its outcome from the device's next
// replies. The value before is the device's last reply the server heard.
#include "history.h"

#include <QMap>
#include <QString>

#include <deque>
#include <memory>

namespace kestran::lined {

class LineHistory {
public:
    LineHistory(const history::Target &target, const QString &line, const QString &port);
    ~LineHistory();

    // A client's write, before it is queued: false when it may not go out
    // (the history requires an entry and cannot make one; `why` says why).
    bool taken(quint64 client, const QString &who, const QString &from, int device, char index, const QString &value,
               QString *why);
    // The write is handed to the line now.
    void sent(int device, char index, const QString &value);
    // A reply of the device heard on the line.
    void replied(int device, char index, const QString &value);
    void lineLost();
    void clientGone(quint64 client);

private:
    struct Change {
        history::Pending pending;
        int device;
        char index;
        QString value;
        bool sent = false;
    };
    void finish(Change &c, history::Outcome o);
    bool ready();

    history::Target m_target;
    QString m_line, m_port;
    std::unique_ptr<history::Recorder> m_recorder;
    bool m_tried = false;
    QString m_why;
    QMap<quint64, QByteArray> m_groups;         // one per client connection
    QMap<QPair<int, char>, QString> m_lastReply;
    std::deque<Change> m_changes;               // taken and not finished, oldest first
};

} // namespace kestran::lined
