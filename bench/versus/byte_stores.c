/* Byte stores: 8 rounds over 1 MiB. */
enum { size = 1 << 20, rounds = 8 };

unsigned char buffer[size];

int main(void) {
    for (unsigned round = 0; round < rounds; round++)
        for (unsigned i = 0; i < size; i++) buffer[i] = (unsigned char)(i + round);
    return buffer[size - 1] == 0 ? 1 : 0;
}
