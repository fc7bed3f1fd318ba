#pragma once
// What our line server, kestran-lined, says to a client in words instead of
// line bytes, each a single line ending in CR LF, after which it closes the
// connection. None of them holds a "*", so no frame decoder can take any of
// their bytes for a frame. A client that recognises them can tell the user
// why; any other client just sees the connection close.
//
//   write refused: sent after the first write command of a client that may
//                  not write; that write and everything after it never
//                  reached the line.
//   line down:     the first and only bytes of a connection accepted while
//                  the line is lost (the server is opening it again).
//   too many:      the first and only bytes of a connection accepted while
//                  the line already has as many clients as it serves.
#include <QByteArray>
#include <QByteArrayView>

namespace kestran {

constexpr char kLinedWriteRefused[] = "kestran-lined: not allowed to write on this line\r\n";
constexpr char kLinedLineDown[] = "kestran-lined: the line is down; try again later\r\n";
constexpr char kLinedTooMany[] = "kestran-lined: too many clients on this line\r\n";

enum class LinedText {
    None,         // the bytes are none of the texts (they are the line's)
    Partial,      // the bytes so far are the start of a text: wait for more
    WriteRefused,
    LineDown,
    TooMany,
};

// What the first bytes a client received from the server are.
inline LinedText linedTextOf(QByteArrayView received)
{
    struct Known {
        const char *text;
        LinedText kind;
    };
    static constexpr Known known[] = {{kLinedWriteRefused, LinedText::WriteRefused},
                                      {kLinedLineDown, LinedText::LineDown},
                                      {kLinedTooMany, LinedText::TooMany}};
    bool partial = false;
    for (const Known &k : known) {
        const QByteArrayView text(k.text);
        if (received.startsWith(text))
            return k.kind;
        if (!received.isEmpty() && text.startsWith(received))
            partial = true;
    }
    return partial ? LinedText::Partial : LinedText::None;
}

} // namespace kestran
