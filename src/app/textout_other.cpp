#include "textout.h"

#include <QTextStream>

namespace kestran::app {

void showInformation(const QString &title, const QString &text)
{
    Q_UNUSED(title);
    QTextStream(stdout) << text;
}

} // namespace kestran::app
