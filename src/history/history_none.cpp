// The history where this Qt has no Qt SQL (the Windows build): nothing is
// recorded, and the programs say so once. A plant that requires a record
// writes nothing here.
#include "history.h"

namespace kestran::history {

class Backend {
public:
    Target target;
    std::function<void(const QString &)> notice;
    bool said = false;
    void say()
    {
        if (!said && notice && target.kind != Target::None)
            notice(QStringLiteral("this build keeps no history (Qt has no SQL support here): changes are not recorded"));
        said = true;
    }
};

namespace {
const QString kWhy = QStringLiteral("this build keeps no history (Qt has no SQL support here)");
}

std::unique_ptr<Recorder> Recorder::open(const Target &target, QString *why)
{
    if (target.require && target.kind != Target::None) {
        *why = kWhy;
        return nullptr;
    }
    std::unique_ptr<Recorder> r(new Recorder);
    r->m_backend = std::make_unique<Backend>();
    r->m_backend->target = target;
    return r;
}

Recorder::~Recorder() = default;
void Recorder::setNotice(std::function<void(const QString &)> notice) { m_backend->notice = std::move(notice); }
QByteArray Recorder::newGroup() { return QByteArray(16, '\0'); }

bool Recorder::beginChange(const QByteArray &group, const Origin &origin, const QVector<ChangeValue> &values,
                           Pending *pending, QString *)
{
    pending->group = group;
    pending->origin = origin;
    pending->values = values;
    pending->recorded = false;
    m_backend->say();
    return true;
}

bool Recorder::finish(const Pending &, const QVector<Outcome> &, QString *) { return true; }
bool Recorder::recordFile(const Origin &, const FileRecord &, QString *)
{
    m_backend->say();
    return true;
}

bool Recorder::query(const Filter &, QVector<Entry> *entries, QString *why)
{
    entries->clear();
    *why = kWhy;
    return false;
}

VerifyResult Recorder::verify()
{
    VerifyResult r;
    r.ok = false;
    r.why = kWhy;
    return r;
}

int Recorder::sync() { return 0; }
int Recorder::spooled() { return 0; }
bool Recorder::require() const { return m_backend->target.require; }
bool Recorder::recording() const { return false; }
QString Recorder::describe() const { return m_backend->target.described; }

} // namespace kestran::history
