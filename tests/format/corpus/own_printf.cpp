// A program's own printf: its calls never reach the library's, so none is checked.
template <typename... A> int printf(const char *format, A &&...args) {
    return sizeof...(args) + (format ? 1 : 0);
}

namespace mine {
int printf(const char *format, ...);
}

static int snprintf(char *, unsigned, const char *, ...) {
    return 0;
}

int main() {
    int a = 1;
    char buf[4];
    return printf("%d %s\n", a, a) + mine::printf("%-5d", a) + snprintf(buf, 4, "%f", a);
}
