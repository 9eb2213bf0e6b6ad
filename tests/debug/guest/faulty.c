/* Sums a list one node longer than it is: the read of the missing node's value faults. */
struct node {
    int value;
    struct node *next;
};

static struct node tail = {3, (struct node *)0};
struct node *volatile head = &tail;
volatile int length = 2;

__attribute__((noinline)) int sum_list(struct node *list, int count) {
    int sum = 0;
    for (int i = 0; i < count; ++i) {
        sum += list->value;
        list = list->next;
    }
    return sum;
}

int main(void) {
    return sum_list(head, length);
}
