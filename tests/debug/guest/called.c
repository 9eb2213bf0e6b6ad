/* A function for gdb to call: sum_list over a list of three nodes. */
struct node {
    int value;
    struct node *next;
};

static struct node third = {3, 0}, second = {2, &third}, first = {1, &second};
struct node *volatile list = &first;

__attribute__((noinline)) int sum_list(struct node *at) {
    int sum = 0;
    for (; at; at = at->next) sum += at->value;
    return sum;
}

int main(void) {
    return sum_list(list);
}
