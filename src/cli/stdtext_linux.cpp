#include "stdtext.h"

namespace kestran::cli {

bool writeStdText(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
            && std::fflush(stream) == 0;
}

} // namespace kestran::cli
