/* rpn: evaluates expressions in reverse Polish notation over 32-bit integers. */
#ifndef RPN_H
#define RPN_H

/* Evaluates the tokens ("2", "3", "+", ...; operators + - x /) into *result.
   Returns 0, or -1 for a malformed expression or a division by zero. */
int rpn_evaluate(int count, char **tokens, int *result);

#endif
