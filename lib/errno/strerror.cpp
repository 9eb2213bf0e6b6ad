#include <errno.h>
#include <string.h>

// Only these codes have texts of their own; every other one, ENOMEM included, is "error".
extern "C" char *strerror(int code) {
    const char *text = "error";
    if (code == EINVAL)
        text = "invalid argument";
    else if (code == ENOSYS)
        text = "not implemented";
    else if (code == 0)
        text = "ok";
    else if (code == ENOENT)
        text = "no such file";
    return const_cast<char *>(text);
}
