// A member function for gdb to call: what it adds stays in the program's state.
struct Counter {
    int count = 5;
    __attribute__((noinline)) int add(int more) {
        count += more;
        return count;
    }
};

Counter counter;

int main() {
    counter.add(2);
    return counter.count;
}
