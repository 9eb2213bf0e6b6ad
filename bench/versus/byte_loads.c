/* Byte loads: 24 rounds over 1 MiB, summed. */
enum { size = 1 << 20, rounds = 24 };

unsigned char buffer[size];

int main(void) {
    for (unsigned i = 0; i < size; i += 4096) buffer[i] = (unsigned char)i; /* every page mapped */
    unsigned sum = 0;
    for (unsigned round = 0; round < rounds; round++)
        for (unsigned i = 0; i < size; i++) sum += buffer[i];
    return sum == 1 ? 1 : 0;
}
