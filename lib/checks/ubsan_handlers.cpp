// The entry points GCC's -fsanitize=undefined calls when a check fails, with the data it
// lays out for each. A handler named *_abort is called under -fno-sanitize-recover and ends
// the program; the others report each place once and return, except those for unreachable
// code and a missing return, which never return. Messages are worded as the host's
// UndefinedBehaviorSanitizer words them.
#include "checks/report.h"

using namespace vekos::checks;

namespace {

struct OverflowData {
    SourceLocation where;
    const TypeDescriptor *type;
};

struct ShiftData {
    SourceLocation where;
    const TypeDescriptor *left_type;
    const TypeDescriptor *right_type;
};

struct OutOfBoundsData {
    SourceLocation where;
    const TypeDescriptor *array_type;
    const TypeDescriptor *index_type;
};

struct PlaceData {
    SourceLocation where;
};

struct VlaBoundData {
    SourceLocation where;
    const TypeDescriptor *type;
};

struct TypeMismatchData {
    SourceLocation where;
    const TypeDescriptor *type;
    uint8_t log_alignment;
    uint8_t check_kind; // an index into kAccessKinds
};

struct FloatCastData {
    SourceLocation where;
    const TypeDescriptor *from;
    const TypeDescriptor *to;
};

struct NonnullArgData {
    SourceLocation where;
    SourceLocation attribute;
    int argument; // counted from 1
};

struct NonnullReturnData {
    SourceLocation attribute;
};

struct InvalidBuiltinData {
    SourceLocation where;
    uint8_t kind; // 0: ctz, 1: clz
};

const char *const kAccessKinds[] = {"load of",
                                    "store to",
                                    "reference binding to",
                                    "member access within",
                                    "member call on",
                                    "constructor call on",
                                    "downcast of",
                                    "downcast of",
                                    "upcast of",
                                    "cast to virtual base of",
                                    "_Nonnull binding to",
                                    "dynamic operation on"};

// A report goes ahead when the program ends with it, or when its place is new.
bool due(SourceLocation &where, bool ends) {
    return first_report(where) || ends;
}

void finish(Report &report, const void *from, bool ends) {
    if (ends) report.end(from);
    report.show(from);
}

bool is_negative(const TypeDescriptor &type, ValueHandle value) {
    return is_signed(type) && signed_value(type, value) < 0;
}

void overflow(OverflowData *data, ValueHandle left, const char *op, ValueHandle right,
              const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    const TypeDescriptor &type = *data->type;
    Report report(data->where);
    report.text(is_signed(type) ? "signed" : "unsigned").text(" integer overflow: ");
    report.value(type, left).text(" ").text(op).text(" ").value(type, right);
    report.text(" cannot be represented in type ").type(type);
    finish(report, from, ends);
}

void negate_overflow(OverflowData *data, ValueHandle value, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    const TypeDescriptor &type = *data->type;
    Report report(data->where);
    report.text("negation of ").value(type, value).text(" cannot be represented in type ");
    report.type(type);
    if (is_signed(type)) report.text("; cast to an unsigned type to negate this value to itself");
    finish(report, from, ends);
}

void divrem_overflow(OverflowData *data, ValueHandle left, ValueHandle right, const void *from,
                     bool ends) {
    if (!due(data->where, ends)) return;
    const TypeDescriptor &type = *data->type;
    Report report(data->where);
    if (is_signed(type) && signed_value(type, right) == -1)
        report.text("division of ")
            .value(type, left)
            .text(" by -1 cannot be represented in type ")
            .type(type);
    else
        report.text("division by zero");
    finish(report, from, ends);
}

void shift_out_of_bounds(ShiftData *data, ValueHandle left, ValueHandle right, const void *from,
                         bool ends) {
    if (!due(data->where, ends)) return;
    const TypeDescriptor &left_type = *data->left_type, &right_type = *data->right_type;
    const unsigned width = 1u << (left_type.info >> 1);
    Report report(data->where);
    if (is_negative(right_type, right))
        report.text("shift exponent ").value(right_type, right).text(" is negative");
    else if (unsigned_value(right_type, right) >= width)
        report.text("shift exponent ")
            .value(right_type, right)
            .text(" is too large for ")
            .unsigned_number(width)
            .text("-bit type ")
            .type(left_type);
    else if (is_negative(left_type, left))
        report.text("left shift of negative value ").value(left_type, left);
    else
        report.text("left shift of ")
            .value(left_type, left)
            .text(" by ")
            .value(right_type, right)
            .text(" places cannot be represented in type ")
            .type(left_type);
    finish(report, from, ends);
}

void out_of_bounds(OutOfBoundsData *data, ValueHandle index, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.text("index ").value(*data->index_type, index).text(" out of bounds for type ");
    report.type(*data->array_type);
    finish(report, from, ends);
}

void vla_bound(VlaBoundData *data, ValueHandle bound, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.text("variable length array bound evaluates to non-positive value ");
    report.value(*data->type, bound);
    finish(report, from, ends);
}

void type_mismatch(TypeMismatchData *data, ValueHandle pointer, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    const char *access = data->check_kind < sizeof kAccessKinds / sizeof kAccessKinds[0]
                             ? kAccessKinds[data->check_kind]
                             : "access to";
    const uintptr_t alignment = uintptr_t(1) << data->log_alignment;
    Report report(data->where);
    report.text(access);
    if (pointer == 0)
        report.text(" null pointer of type ").type(*data->type);
    else if (pointer & (alignment - 1))
        report.text(" misaligned address ")
            .address(pointer)
            .text(" for type ")
            .type(*data->type)
            .text(", which requires ")
            .unsigned_number(alignment)
            .text(" byte alignment");
    else
        report.text(" address ")
            .address(pointer)
            .text(" with insufficient space for an object of type ")
            .type(*data->type);
    finish(report, from, ends);
}

void float_cast_overflow(FloatCastData *data, ValueHandle value, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.value(*data->from, value).text(" is outside the range of representable values of type ");
    report.type(*data->to);
    finish(report, from, ends);
}

void load_invalid_value(VlaBoundData *data, ValueHandle value, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.text("load of value ").value(*data->type, value);
    report.text(", which is not a valid value for type ").type(*data->type);
    finish(report, from, ends);
}

void nonnull_arg(NonnullArgData *data, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.text("null pointer passed as argument ").number(data->argument);
    report.text(", which is declared to never be null");
    finish(report, from, ends);
}

void nonnull_return(SourceLocation *where, const void *from, bool ends) {
    if (!due(*where, ends)) return;
    Report report(*where);
    report.text("null pointer returned from function declared to never return null");
    finish(report, from, ends);
}

void pointer_overflow(PlaceData *data, uintptr_t base, uintptr_t result, const void *from,
                      bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    if (base == 0 && result == 0)
        report.text("applying zero offset to null pointer");
    else if (base == 0)
        report.text("applying non-zero offset ").unsigned_number(result).text(" to null pointer");
    else if (result == 0)
        report.text("applying non-zero offset to non-null pointer ")
            .address(base)
            .text(" produced null pointer");
    else if ((intptr_t(base) >= 0) == (intptr_t(result) >= 0))
        report
            .text(base > result ? "addition of unsigned offset to "
                                : "subtraction of unsigned offset from ")
            .address(base)
            .text(" overflowed to ")
            .address(result);
    else
        report.text("pointer index expression with base ")
            .address(base)
            .text(" overflowed to ")
            .address(result);
    finish(report, from, ends);
}

void invalid_builtin(InvalidBuiltinData *data, const void *from, bool ends) {
    if (!due(data->where, ends)) return;
    Report report(data->where);
    report.text("passing zero to ").text(data->kind == 0 ? "ctz()" : "clz()");
    report.text(", which is not a valid argument");
    finish(report, from, ends);
}

} // namespace

// Each entry point names its own return address: the instruction after the call in the
// checked code, where the backtrace starts.
#define CALLER __builtin_return_address(0)

extern "C" {

void __ubsan_handle_add_overflow(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "+", r, CALLER, false);
}
void __ubsan_handle_add_overflow_abort(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "+", r, CALLER, true);
}
void __ubsan_handle_sub_overflow(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "-", r, CALLER, false);
}
void __ubsan_handle_sub_overflow_abort(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "-", r, CALLER, true);
}
void __ubsan_handle_mul_overflow(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "*", r, CALLER, false);
}
void __ubsan_handle_mul_overflow_abort(OverflowData *d, ValueHandle l, ValueHandle r) {
    overflow(d, l, "*", r, CALLER, true);
}
void __ubsan_handle_negate_overflow(OverflowData *d, ValueHandle v) {
    negate_overflow(d, v, CALLER, false);
}
void __ubsan_handle_negate_overflow_abort(OverflowData *d, ValueHandle v) {
    negate_overflow(d, v, CALLER, true);
}
void __ubsan_handle_divrem_overflow(OverflowData *d, ValueHandle l, ValueHandle r) {
    divrem_overflow(d, l, r, CALLER, false);
}
void __ubsan_handle_divrem_overflow_abort(OverflowData *d, ValueHandle l, ValueHandle r) {
    divrem_overflow(d, l, r, CALLER, true);
}
void __ubsan_handle_shift_out_of_bounds(ShiftData *d, ValueHandle l, ValueHandle r) {
    shift_out_of_bounds(d, l, r, CALLER, false);
}
void __ubsan_handle_shift_out_of_bounds_abort(ShiftData *d, ValueHandle l, ValueHandle r) {
    shift_out_of_bounds(d, l, r, CALLER, true);
}
void __ubsan_handle_out_of_bounds(OutOfBoundsData *d, ValueHandle index) {
    out_of_bounds(d, index, CALLER, false);
}
void __ubsan_handle_out_of_bounds_abort(OutOfBoundsData *d, ValueHandle index) {
    out_of_bounds(d, index, CALLER, true);
}
void __ubsan_handle_vla_bound_not_positive(VlaBoundData *d, ValueHandle bound) {
    vla_bound(d, bound, CALLER, false);
}
void __ubsan_handle_vla_bound_not_positive_abort(VlaBoundData *d, ValueHandle bound) {
    vla_bound(d, bound, CALLER, true);
}
void __ubsan_handle_type_mismatch_v1(TypeMismatchData *d, ValueHandle pointer) {
    type_mismatch(d, pointer, CALLER, false);
}
void __ubsan_handle_type_mismatch_v1_abort(TypeMismatchData *d, ValueHandle pointer) {
    type_mismatch(d, pointer, CALLER, true);
}
void __ubsan_handle_float_cast_overflow(FloatCastData *d, ValueHandle value) {
    float_cast_overflow(d, value, CALLER, false);
}
void __ubsan_handle_float_cast_overflow_abort(FloatCastData *d, ValueHandle value) {
    float_cast_overflow(d, value, CALLER, true);
}
void __ubsan_handle_load_invalid_value(VlaBoundData *d, ValueHandle value) {
    load_invalid_value(d, value, CALLER, false);
}
void __ubsan_handle_load_invalid_value_abort(VlaBoundData *d, ValueHandle value) {
    load_invalid_value(d, value, CALLER, true);
}
void __ubsan_handle_nonnull_arg(NonnullArgData *d) {
    nonnull_arg(d, CALLER, false);
}
void __ubsan_handle_nonnull_arg_abort(NonnullArgData *d) {
    nonnull_arg(d, CALLER, true);
}
void __ubsan_handle_nonnull_return_v1(NonnullReturnData *, SourceLocation *where) {
    nonnull_return(where, CALLER, false);
}
void __ubsan_handle_nonnull_return_v1_abort(NonnullReturnData *, SourceLocation *where) {
    nonnull_return(where, CALLER, true);
}
void __ubsan_handle_pointer_overflow(PlaceData *d, uintptr_t base, uintptr_t result) {
    pointer_overflow(d, base, result, CALLER, false);
}
void __ubsan_handle_pointer_overflow_abort(PlaceData *d, uintptr_t base, uintptr_t result) {
    pointer_overflow(d, base, result, CALLER, true);
}
void __ubsan_handle_invalid_builtin(InvalidBuiltinData *d) {
    invalid_builtin(d, CALLER, false);
}
void __ubsan_handle_invalid_builtin_abort(InvalidBuiltinData *d) {
    invalid_builtin(d, CALLER, true);
}

// Never recoverable: the compiler lets no code follow these calls.
[[noreturn]] void __ubsan_handle_builtin_unreachable(PlaceData *d) {
    Report(d->where).text("execution reached an unreachable program point").end(CALLER);
}
[[noreturn]] void __ubsan_handle_missing_return(PlaceData *d) {
    Report(d->where)
        .text("execution reached the end of a value-returning function without returning a value")
        .end(CALLER);
}

} // extern "C"
