// Scanning a descriptor stream: one white-space-delimited word is read byte by byte into
// a buffer of the call's own, and the format sees only that word. Nothing is buffered
// across calls, so whatever the format leaves of the word is lost.
#include <stdio.h>
#include <unistd.h>

#include "internal/white_space.h"
#include "stdio_impl.h"

using vekos::is_space_tab_line_feed_or_return;

namespace {

constexpr unsigned max_word = 255;

enum class ByteRead { byte, end, odd_length };

// One read of one byte; everything read counts in pos, and only the end sets eof.
ByteRead read_byte(FILE *stream, char &byte) {
    ssize_t n = read(stream->fd, &byte, 1);
    if (n <= 0) {
        stream->eof = 1;
        return ByteRead::end;
    }
    vekos::advance_position(stream, static_cast<unsigned>(n));
    return n == 1 ? ByteRead::byte : ByteRead::odd_length;
}

// Skips leading delimiters and collects one word, consuming the delimiter behind it.
// Bytes past max_word are read and dropped. False when the input ends before a word.
bool read_word(FILE *stream, char (&word)[max_word + 1]) {
    char byte;
    do {
        if (read_byte(stream, byte) != ByteRead::byte) return false;
    } while (is_space_tab_line_feed_or_return(byte));

    unsigned length = 0;
    word[length++] = byte;
    while (read_byte(stream, byte) == ByteRead::byte && !is_space_tab_line_feed_or_return(byte)) {
        if (length < max_word) word[length++] = byte;
    }
    word[length] = '\0';
    return true;
}

} // namespace

extern "C" {

int fscanf(FILE *stream, const char *format, ...) {
    if (!stream || !format || stream->kind != STREAM_KIND_FD) return -1;
    char word[max_word + 1];
    if (!read_word(stream, word)) return -1;
    va_list args;
    va_start(args, format);
    int count = vsscanf(word, format, args);
    va_end(args);
    return count;
}

} // extern "C"
