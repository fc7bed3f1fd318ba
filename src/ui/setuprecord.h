#pragma once
// What the window puts on record: each value Setup sends, with the value the
// counter last answered before it, committed before its frame goes out; and
// its outcome once the closing read-all has answered (or has not).
//
// Where the history is kept comes from KESTRAN_HISTORY, else the window's
// settings file ~/.config/kestran-setup/history.conf
// (%LOCALAPPDATA%\kestran-setup\history.conf on Windows):
//
//   database = plant-history     # default, none, sqlite:FILE, a postgresql:// URL or a service name
//   require = true               # send nothing that cannot be recorded
#include "history.h"

#include <QMap>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace kestran {

class SetupRecord : public QObject {
    Q_OBJECT
public:
    explicit SetupRecord(QObject *parent = nullptr);
    ~SetupRecord() override;

    // Messages for the operator (the database out of reach, nothing recorded), each once.
    void setNotice(std::function<void(const QString &)> notice) { m_notice = std::move(notice); }
    // How long the closing read-all's replies are waited for before a value counts as not verified.
    void setReplyWaitMs(int ms) { m_replyWait.setInterval(ms); }

    void portOpened(const QString &port);
    // Every reply the window decodes, for the value before and the outcome.
    void replied(int device, char index, const QString &value);
    // A Setup starts: what it would write as the fields stand now goes on
    // record at once, in one entry per value and one commit.
    void setupStarts(int device, const QVector<QPair<char, QString>> &planned);
    // Before one write: true when it may go out (it is on record, or the
    // history does not require it). A value not planned at the start (a field
    // edited during a pause) goes on record now.
    bool sending(int device, char index, const QString &field);
    // The closing read-all is out (or the sequence ended without one).
    void setupEnds(bool readAllSent);

    // Where the history is kept, as the settings say; "" when it is the default.
    QString settingsFile() const;

private:
    bool ready();
    void finish();
    bool record(const QVector<history::ChangeValue> &values);

    history::Target m_target;
    bool m_targetOk = true;
    QString m_why;
    std::unique_ptr<history::Recorder> m_recorder;
    bool m_tried = false;
    QString m_port;
    QMap<QPair<int, char>, QString> m_lastRead;
    history::Pending m_pending;       // the values of this Setup on record
    QVector<char> m_indices;          // their index characters, in the same order
    QVector<bool> m_sent;             // whether each went out
    QMap<QPair<int, char>, QString> m_answers;   // replies since the closing read-all
    bool m_awaiting = false;
    QTimer m_replyWait;
    std::function<void(const QString &)> m_notice;
};

} // namespace kestran
