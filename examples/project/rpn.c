#include "rpn.h"

#include <assert.h>
#include <ctype.h>

#define STACK_DEPTH 32

static int parse_number(const char *text, int *value) {
    int n = 0;
    if (!*text) return -1;
    for (; *text; text++) {
        if (!isdigit((unsigned char)*text)) return -1;
        n = n * 10 + (*text - '0');
    }
    *value = n;
    return 0;
}

static int apply(char op, int a, int b, int *result) {
    switch (op) {
    case '+':
        *result = a + b;
        return 0;
    case '-':
        *result = a - b;
        return 0;
    case 'x':
        *result = a * b;
        return 0;
    case '/':
        if (b == 0) return -1;
        *result = a / b;
        return 0;
    }
    return -1;
}

int rpn_evaluate(int count, char **tokens, int *result) {
    int stack[STACK_DEPTH];
    int depth = 0;
    for (int i = 0; i < count; i++) {
        const char *token = tokens[i];
        if (token[0] && !token[1] && !isdigit((unsigned char)token[0])) {
            if (depth < 2 || apply(token[0], stack[depth - 2], stack[depth - 1], &stack[depth - 2]))
                return -1;
            depth--;
        } else if (depth == STACK_DEPTH || parse_number(token, &stack[depth++])) {
            return -1;
        }
        assert(depth >= 0 && depth <= STACK_DEPTH);
    }
    if (depth != 1) return -1;
    *result = stack[0];
    return 0;
}
