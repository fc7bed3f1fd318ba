// A console is written with WriteConsoleW: the text is right in any console
// code page (437, 850, 1252, 65001), in cmd, PowerShell and Windows Terminal
// alike, and the console's code page is left as the user had it. Anything
// else (a pipe, a file) gets UTF-8 bytes through the C library, with its
// usual line ends. A UTF-8 code page in the manifest was not chosen: it needs
// Windows 10 1903 or later, and a console on 437 or 850 still shows UTF-8
// bytes wrongly unless its code page is changed for the whole window.
#include "stdtext.h"

#include <windows.h>

namespace kestran::cli {

bool writeStdText(std::FILE *stream, const QString &text)
{
    const HANDLE h = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
        if (std::fflush(stream) != 0)
            return false;
        // "\n" alone: the console moves to the next line's start by itself.
        const wchar_t *p = reinterpret_cast<const wchar_t *>(text.utf16());
        DWORD left = DWORD(text.size());
        while (left > 0) {
            DWORD done = 0;
            if (!WriteConsoleW(h, p, left > 8192 ? 8192 : left, &done, nullptr) || done == 0)
                return false;
            p += done;
            left -= done;
        }
        return true;
    }
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
            && std::fflush(stream) == 0;
}

} // namespace kestran::cli
