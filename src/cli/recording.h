#pragma once
// What kestran-ctl puts on record: the changes of a write or restore (the
// intent before the first frame, the outcome after) and its backups and
// checks. The history is opened at the first entry; where it is kept comes
// from --history, else KESTRAN_HISTORY, else the plant file's [history].
#include "history.h"

#include "backupfile.h"
#include "cli.h"
#include "counterclient.h"
#include "plantfile.h"

#include <memory>
#include <mutex>

namespace kestran::cli {



class Recording {
public:
    // `plantTarget`: the plant file's [history] (used when neither --history
    // nor KESTRAN_HISTORY is given).
    explicit Recording(const Invocation &inv, const history::Target *plantTarget = nullptr);
    ~Recording();

    // Before any frame of a write: the values about to go out, each with
    // what the device last answered (`before`, by index; missing: unknown).
    // False when the change may not be made: the history requires an entry
    // and none can be made (the reason is said). Then nothing may be sent.
    bool begin(int device, const QString &port, const QString &line, const QVector<WriteStep> &steps,
               const QMap<char, QString> &before, history::Pending *pending);
    // After the write: each value's outcome, in the programs' words.
    void finish(const history::Pending &pending, const WriteReport &w);
    void file(history::FileRecord::Kind kind, const QString &path, const QByteArray &bytes, const QStringList &lines,
              const QString &devices, const QString &result);

    // Whether changes go on record at all (not with "none"): a write then reads the values before.
    bool records() const { return m_target.kind != history::Target::None; }

    // The store for `kestran-ctl history` itself; nullptr with the message said.
    history::Recorder *recorder(QString *why);

private:
    bool ready();

    const Invocation m_inv;   // a copy: the recording outlives the call that made it
    history::Target m_target;
    bool m_targetOk = true;
    QString m_targetWhy;
    QByteArray m_group;
    std::unique_ptr<history::Recorder> m_recorder;
    bool m_tried = false;
    QString m_openWhy;
    std::recursive_mutex m_mutex;
};

// The plant file's [history], for the run's recording (before its first use):
// kUsage with the message said when its database text is not one.
int usePlantHistory(const QString &path, const Plant &plant);

// The run's one recording (one group for all its changes), made at first use.
Recording &recording(const Invocation &inv);

// "0,1,5", or per line "press-3:0,1;press-4:0,5".
QString devicesText(const QVector<QPair<QString, QVector<SavedDevice>>> &lines);

inline bool recordsChanges(const Invocation &inv) { return recording(inv).records(); }

} // namespace kestran::cli
