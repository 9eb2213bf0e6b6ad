// Values in reports, as the compiler's type descriptors describe them: integers in decimal,
// floating values as printf's %Lg would show them (six significant digits).
#include "checks/report.h"

namespace vekos::checks {
namespace {

// 10 to the power of 2^i.
constexpr long double kTens[] = {1e1L,   1e2L,   1e4L,   1e8L,    1e16L,   1e32L,  1e64L,
                                 1e128L, 1e256L, 1e512L, 1e1024L, 1e2048L, 1e4096L};
constexpr int kTenCount = sizeof kTens / sizeof kTens[0];

template <typename T> T load(ValueHandle handle) {
    return *reinterpret_cast<const T *>(handle);
}

unsigned integer_bits(const TypeDescriptor &type) {
    return 1u << (type.info >> 1);
}

// value times ten to the power `power`, rounded once where 10^|power| is exact (up to 10^27,
// as a 64-bit mantissa holds 5^27).
long double times_ten_to(long double value, int power) {
    for (; power > 27; power -= 27) value *= 1e27L;
    for (; power < -27; power += 27) value /= 1e27L;
    long double ten = 1;
    for (int i = power < 0 ? -power : power; i > 0; i--) ten *= 10;
    return power < 0 ? value / ten : value * ten;
}

// The six significant digits of a positive value whose decimal exponent is `exponent`,
// rounded to nearest, ties to even, as printf rounds.
uint32_t six_digits(long double value, int exponent) {
    const long double scaled = times_ten_to(value, 5 - exponent);
    auto digits = uint32_t(scaled);
    const long double rest = scaled - digits;
    if (rest > 0.5L || (rest == 0.5L && (digits & 1))) digits++;
    return digits;
}

// The decimal exponent of a positive finite value (10^exponent <= value < 10^(exponent+1)),
// give or take one: its powers of ten taken out greedily.
int decimal_exponent(long double value) {
    int exponent = 0;
    for (int i = kTenCount - 1; i >= 0; i--) {
        if (value >= 10 && value >= kTens[i]) {
            value /= kTens[i];
            exponent += 1 << i;
        } else if (value < 1 && value * kTens[i] < 10) {
            value *= kTens[i];
            exponent -= 1 << i;
        }
    }
    return exponent;
}

} // namespace

bool is_signed(const TypeDescriptor &type) {
    return type.kind == kIntegerType && (type.info & 1);
}

uint64_t unsigned_value(const TypeDescriptor &type, ValueHandle value) {
    const unsigned bits = integer_bits(type);
    if (bits > 64) return 0;
    const uint64_t raw = bits > 32 ? load<uint64_t>(value) : value;
    return raw << (64 - bits) >> (64 - bits);
}

int64_t signed_value(const TypeDescriptor &type, ValueHandle value) {
    const unsigned bits = integer_bits(type);
    if (bits > 64) return 0;
    return int64_t(unsigned_value(type, value) << (64 - bits)) >> (64 - bits);
}

Report &Report::value(const TypeDescriptor &type, ValueHandle handle) {
    if (type.kind == kIntegerType) {
        if (integer_bits(type) > 64) return text("<unknown>");
        if (is_signed(type)) return number(signed_value(type, handle));
        return unsigned_number(unsigned_value(type, handle));
    }
    if (type.kind == kFloatType) {
        switch (type.info) {
        case 32: {
            float value;
            __builtin_memcpy(&value, &handle, sizeof value);
            return floating(value);
        }
        case 64:
            return floating(load<double>(handle));
        case 80:
        case 96:
        case 128:
            return floating(load<long double>(handle));
        }
    }
    return text("<unknown>");
}

// Six significant digits, shown plainly when the decimal exponent is -4 to 5 and in e-notation
// otherwise, without trailing zeros: printf's %Lg.
Report &Report::floating(long double value) {
    if (__builtin_signbit(value)) text("-"), value = -value;
    if (value != value) return text("nan");
    if (value == __builtin_infl()) return text("inf");
    if (value == 0) return text("0");
    int exponent = decimal_exponent(value);
    uint32_t digits = six_digits(value, exponent);
    if (digits < 100000) digits = six_digits(value, --exponent);
    if (digits >= 1000000) digits = six_digits(value, ++exponent);
    char shown[7];
    for (int i = 5; i >= 0; i--) shown[i] = char('0' + digits % 10), digits /= 10;
    int last = 5; // the last digit shown: trailing zeros go
    while (last > 0 && shown[last] == '0') last--;
    char out[24];
    size_t at = 0;
    if (exponent < -4 || exponent >= 6) {
        out[at++] = shown[0];
        if (last > 0) out[at++] = '.';
        for (int i = 1; i <= last; i++) out[at++] = shown[i];
        out[at++] = 'e';
        out[at++] = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude >= 1000) out[at++] = char('0' + magnitude / 1000);
        if (magnitude >= 100) out[at++] = char('0' + magnitude / 100 % 10);
        out[at++] = char('0' + magnitude / 10 % 10);
        out[at++] = char('0' + magnitude % 10);
    } else if (exponent < 0) {
        out[at++] = '0';
        out[at++] = '.';
        for (int i = exponent + 1; i < 0; i++) out[at++] = '0';
        for (int i = 0; i <= last; i++) out[at++] = shown[i];
    } else {
        for (int i = 0; i <= exponent; i++) out[at++] = shown[i];
        if (last > exponent) out[at++] = '.';
        for (int i = exponent + 1; i <= last; i++) out[at++] = shown[i];
    }
    out[at] = '\0';
    return text(out);
}

} // namespace vekos::checks
