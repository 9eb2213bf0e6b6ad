// calc: evaluates its arguments as one expression, strictly from left to right:
//
//     calc NUMBER [OPERATOR NUMBER]...     operators + - x / %  (or a quoted *)
//
// Integers (decimal, 0x hexadecimal or 0 octal, with an optional minus) are computed in
// 32 bits. When any number has a point or an exponent, the whole expression is computed
// in double and shown with up to six decimals: `calc 7 / 2` prints 3 and `calc 7 / 2.0`
// prints 3.5. Errors are reported with exit status 1.
#include <stdio.h>
#include <stdlib.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Evaluate an expression from left to right.", "calc NUMBER [OPERATOR NUMBER]...");
VEKOS_PACKAGE("examples", "1");

namespace {

struct Number {
    bool is_integer;
    long integer;
    double real;
};

// strtol takes no sign, so a minus in front of an integer is handled here; anything
// else that converts completely goes through strtod.
bool parse_number(const char *text, Number &number) {
    bool negative = text[0] == '-';
    const char *digits = negative ? text + 1 : text;
    char *end;
    long integer = strtol(digits, &end, 0);
    if (end != digits && *end == '\0' && *digits >= '0' && *digits <= '9') {
        number = {true, negative ? long(0ul - static_cast<unsigned long>(integer)) : integer, 0};
        return true;
    }
    double real = strtod(text, &end);
    if (end == text || *end != '\0') return false;
    number = {false, 0, real};
    return true;
}

bool is_operator(const char *text) {
    char op = text[0];
    return text[1] == '\0' &&
           (op == '+' || op == '-' || op == 'x' || op == '*' || op == '/' || op == '%');
}

int fail(const char *message, const char *detail) {
    printf("calc: %s%s\n", message, detail);
    return 1;
}

// Whole numbers and up to six decimals through the integer formatter, as there is no
// floating-point output.
void print_real(double value) {
    if (value != value) {
        puts("nan");
        return;
    }
    const char *sign = value < 0 ? "-" : "";
    double magnitude = value < 0 ? -value : value;
    if (magnitude >= 1e18) {
        printf("%s%s\n", sign, __builtin_isinf(magnitude) ? "inf" : "(too large to show)");
        return;
    }
    unsigned long long scaled = static_cast<unsigned long long>(magnitude * 1e6 + 0.5);
    unsigned fraction = static_cast<unsigned>(scaled % 1000000);
    if (scaled == 0) sign = "";
    printf("%s%llu", sign, scaled / 1000000);
    int places = 6;
    for (; fraction && fraction % 10 == 0; places--) fraction /= 10;
    if (fraction) printf(".%.*u", places, fraction);
    putchar('\n');
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc % 2 != 0) {
        puts("usage: calc NUMBER [OPERATOR NUMBER]...   operators: + - x / %");
        return 1;
    }
    bool all_integers = true;
    Number numbers[64];
    int count = 0;
    for (int i = 1; i < argc; i += 2) {
        if (count == 64) return fail("too many numbers", "");
        if (!parse_number(argv[i], numbers[count])) return fail("not a number: ", argv[i]);
        if (i + 1 < argc && !is_operator(argv[i + 1]))
            return fail("not an operator: ", argv[i + 1]);
        all_integers = all_integers && numbers[count].is_integer;
        count++;
    }

    long integer = numbers[0].integer;
    double real = numbers[0].is_integer ? numbers[0].integer : numbers[0].real;
    for (int n = 1; n < count; n++) {
        char op = argv[2 * n][0];
        long b = numbers[n].integer;
        double rb = numbers[n].is_integer ? numbers[n].integer : numbers[n].real;
        if (!all_integers) {
            if (op == '%') return fail("% needs integers", "");
            real = op == '+'   ? real + rb
                   : op == '-' ? real - rb
                   : op == '/' ? real / rb
                               : real * rb;
            continue;
        }
        if ((op == '/' || op == '%') && b == 0) return fail("division by zero", "");
        // Wrapping 32-bit arithmetic, with the one quotient that overflows kept defined.
        unsigned long ua = integer, ub = b;
        if (op == '+')
            integer = long(ua + ub);
        else if (op == '-')
            integer = long(ua - ub);
        else if (op == '/' || op == '%') {
            bool overflows = integer == -2147483647L - 1 && b == -1;
            integer =
                op == '/' ? (overflows ? integer : integer / b) : (overflows ? 0 : integer % b);
        } else
            integer = long(ua * ub);
    }
    if (all_integers)
        printf("%ld\n", integer);
    else
        print_real(real);
    return 0;
}
