// The handlers that code built with -fsanitize=undefined (without
// -fsanitize-undefined-trap-on-error) calls: each prints one line to standard
// error, "FILE:LINE:COLUMN: runtime error: WHAT", once per place in the
// source, and the program goes on. The two that cannot go on (the end of a
// function that returns nothing, an unreachable point reached) end it with
// status 1, as abort() does; so do the _abort variants that
// -fno-sanitize-recover selects.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

struct Location {
    const char* file;
    uint32_t line, column;
};
// A type: its kind (0 integer, 1 floating point), for integers the width's
// log2 shifted left by one with the sign in bit 0, and its name (quoted).
struct Type {
    uint16_t kind, info;
    char name[1];
};

bool is_signed(const Type* t) {
    return t->kind == 0 && (t->info & 1) != 0;
}
unsigned width(const Type* t) {
    return t->kind == 0 ? 1u << (t->info >> 1) : 0;
}
// A value of type t: held in the argument itself up to 32 bits, else pointed to.
int64_t signed_value(const Type* t, uintptr_t v) {
    if (width(t) > 32) return *reinterpret_cast<const int64_t*>(v);
    if (width(t) == 32) return static_cast<int32_t>(v);
    unsigned shift = 32 - width(t);
    return static_cast<int32_t>(static_cast<uint32_t>(v) << shift) >> shift;
}
uint64_t unsigned_value(const Type* t, uintptr_t v) {
    if (width(t) > 32) return *reinterpret_cast<const uint64_t*>(v);
    return v;
}

// One line, built in place: no heap, no formatter.
class Line {
  public:
    Line& operator<<(const char* s) {
        while (*s != '\0' && n_ < sizeof buf_ - 1) buf_[n_++] = *s++;
        return *this;
    }
    Line& number(uint64_t v, bool negative) {
        char digits[24];
        int i = 0;
        do digits[i++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) != 0);
        if (negative) digits[i++] = '-';
        while (i > 0 && n_ < sizeof buf_ - 1) buf_[n_++] = digits[--i];
        return *this;
    }
    Line& operator<<(uint64_t v) { return number(v, false); }
    Line& value(const Type* t, uintptr_t v) {
        if (!is_signed(t)) return number(unsigned_value(t, v), false);
        int64_t s = signed_value(t, v);
        return number(s < 0 ? 0 - static_cast<uint64_t>(s) : static_cast<uint64_t>(s), s < 0);
    }
    // GCC gives the name quoted already: "'int'".
    Line& type(const Type* t) { return *this << t->name; }
    Line& hex(uintptr_t v) {
        *this << "0x";
        for (int shift = 28; shift >= 0; shift -= 4) {
            if (n_ < sizeof buf_ - 1) buf_[n_++] = "0123456789abcdef"[(v >> shift) & 15];
        }
        return *this;
    }
    void say() {
        buf_[n_++] = '\n';
        write(2, buf_, n_);
    }

  private:
    char buf_[512];
    size_t n_ = 0;
};

// The start of a report, or false when this place has reported already.
bool begin(Location* at, Line& line) {
    if (at->column == 0xFFFFFFFFu) return false;
    line << (at->file != nullptr ? at->file : "<unknown>") << ":" << uint64_t{at->line} << ":"
         << uint64_t{at->column} << ": runtime error: ";
    at->column = 0xFFFFFFFFu;
    return true;
}

struct Overflow {
    Location at;
    const Type* type;
};
void overflow(Overflow* d, uintptr_t a, uintptr_t b, const char* op) {
    Line l;
    if (!begin(&d->at, l)) return;
    l << (is_signed(d->type) ? "signed" : "unsigned") << " integer overflow: ";
    l.value(d->type, a) << " " << op << " ";
    l.value(d->type, b) << " cannot be represented in type ";
    l.type(d->type).say();
}

struct Shift {
    Location at;
    const Type *left, *right;
};
struct Bounds {
    Location at;
    const Type *array, *index;
};
struct Mismatch {
    Location at;
    const Type* type;
    uint8_t log_alignment, check;
};
struct Nonnull {
    Location at, attribute;
    int argument;
};
struct Builtin {
    Location at;
    uint8_t kind;
};

const char* const kChecks[] = {"load of",
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

}  // namespace

extern "C" {

void __ubsan_handle_add_overflow(Overflow* d, uintptr_t a, uintptr_t b) {
    overflow(d, a, b, "+");
}
void __ubsan_handle_sub_overflow(Overflow* d, uintptr_t a, uintptr_t b) {
    overflow(d, a, b, "-");
}
void __ubsan_handle_mul_overflow(Overflow* d, uintptr_t a, uintptr_t b) {
    overflow(d, a, b, "*");
}
void __ubsan_handle_negate_overflow(Overflow* d, uintptr_t a) {
    Line l;
    if (!begin(&d->at, l)) return;
    l << "negation of ";
    l.value(d->type, a) << " cannot be represented in type ";
    l.type(d->type).say();
}
void __ubsan_handle_divrem_overflow(Overflow* d, uintptr_t a, uintptr_t b) {
    Line l;
    if (!begin(&d->at, l)) return;
    if (d->type->kind == 0 && unsigned_value(d->type, b) == 0) {
        (l << "division by zero").say();
        return;
    }
    l << "division of ";
    l.value(d->type, a) << " by ";
    l.value(d->type, b) << " cannot be represented in type ";
    l.type(d->type).say();
}
void __ubsan_handle_shift_out_of_bounds(Shift* d, uintptr_t a, uintptr_t b) {
    Line l;
    if (!begin(&d->at, l)) return;
    if (is_signed(d->right) && signed_value(d->right, b) < 0) {
        l << "shift exponent ";
        l.value(d->right, b) << " is negative";
    } else if (unsigned_value(d->right, b) >= width(d->left)) {
        l << "shift exponent ";
        l.value(d->right, b) << " is too large for " << uint64_t{width(d->left)} << "-bit type ";
        l.type(d->left);
    } else if (is_signed(d->left) && signed_value(d->left, a) < 0) {
        l << "left shift of negative value ";
        l.value(d->left, a);
    } else {
        l << "left shift of ";
        l.value(d->left, a) << " by ";
        l.value(d->right, b) << " places cannot be represented in type ";
        l.type(d->left);
    }
    l.say();
}
void __ubsan_handle_out_of_bounds(Bounds* d, uintptr_t index) {
    Line l;
    if (!begin(&d->at, l)) return;
    l << "index ";
    l.value(d->index, index) << " out of bounds for type ";
    l.type(d->array).say();
}
void __ubsan_handle_type_mismatch_v1(Mismatch* d, uintptr_t p) {
    Line l;
    if (!begin(&d->at, l)) return;
    const char* what = d->check < sizeof kChecks / sizeof *kChecks ? kChecks[d->check] : "use of";
    const uintptr_t alignment = uintptr_t{1} << d->log_alignment;
    if (p == 0) {
        l << what << " null pointer of type ";
        l.type(d->type);
    } else if (d->log_alignment != 0 && (p & (alignment - 1)) != 0) {
        l << what << " misaligned address ";
        l.hex(p) << " for type ";
        l.type(d->type) << ", which requires " << uint64_t{alignment} << " byte alignment";
    } else {
        l << what << " address ";
        l.hex(p) << " with insufficient space for an object of type ";
        l.type(d->type);
    }
    l.say();
}
void __ubsan_handle_load_invalid_value(Overflow* d, uintptr_t v) {
    Line l;
    if (!begin(&d->at, l)) return;
    l << "load of value ";
    l.value(d->type, v) << ", which is not a valid value for type ";
    l.type(d->type).say();
}
void __ubsan_handle_vla_bound_not_positive(Overflow* d, uintptr_t v) {
    Line l;
    if (!begin(&d->at, l)) return;
    l << "variable length array bound evaluates to non-positive value ";
    l.value(d->type, v).say();
}
void __ubsan_handle_pointer_overflow(Location* at, uintptr_t base, uintptr_t result) {
    Line l;
    if (!begin(at, l)) return;
    l << "pointer index expression with base ";
    l.hex(base) << " overflowed to ";
    l.hex(result).say();
}
void __ubsan_handle_nonnull_arg(Nonnull* d) {
    Line l;
    if (!begin(&d->at, l)) return;
    (l << "null pointer passed as argument " << uint64_t(d->argument)
       << ", which is declared to never be null")
        .say();
}
void __ubsan_handle_nonnull_return_v1(Location*, Location* at) {
    Line l;
    if (!begin(at, l)) return;
    (l << "null pointer returned from function declared to never return null").say();
}
void __ubsan_handle_invalid_builtin(Builtin* d) {
    Line l;
    if (!begin(&d->at, l)) return;
    (l << "passing zero to " << (d->kind == 0 ? "ctz()" : "clz()")
       << ", which is not a valid argument")
        .say();
}
void __ubsan_handle_float_cast_overflow(Location* at, uintptr_t) {
    Line l;
    if (!begin(at, l)) return;
    (l << "floating-point value is outside the range of representable values of its new type")
        .say();
}
[[noreturn]] void __ubsan_handle_builtin_unreachable(Location* at) {
    Line l;
    if (begin(at, l)) (l << "execution reached an unreachable program point").say();
    abort();
}
[[noreturn]] void __ubsan_handle_missing_return(Location* at) {
    Line l;
    if (begin(at, l))
        (l << "execution reached the end of a value-returning function without returning a "
              "value")
            .say();
    abort();
}

// -fno-sanitize-recover: the same line, then the end.
#define NUV_UBSAN_ABORT(name, params, args) \
    [[noreturn]] void name##_abort params { \
        name args;                          \
        abort();                            \
    }
NUV_UBSAN_ABORT(__ubsan_handle_add_overflow, (Overflow * d, uintptr_t a, uintptr_t b), (d, a, b))
NUV_UBSAN_ABORT(__ubsan_handle_sub_overflow, (Overflow * d, uintptr_t a, uintptr_t b), (d, a, b))
NUV_UBSAN_ABORT(__ubsan_handle_mul_overflow, (Overflow * d, uintptr_t a, uintptr_t b), (d, a, b))
NUV_UBSAN_ABORT(__ubsan_handle_negate_overflow, (Overflow * d, uintptr_t a), (d, a))
NUV_UBSAN_ABORT(__ubsan_handle_divrem_overflow, (Overflow * d, uintptr_t a, uintptr_t b), (d, a, b))
NUV_UBSAN_ABORT(__ubsan_handle_shift_out_of_bounds, (Shift * d, uintptr_t a, uintptr_t b),
                (d, a, b))
NUV_UBSAN_ABORT(__ubsan_handle_out_of_bounds, (Bounds * d, uintptr_t i), (d, i))
NUV_UBSAN_ABORT(__ubsan_handle_type_mismatch_v1, (Mismatch * d, uintptr_t p), (d, p))
NUV_UBSAN_ABORT(__ubsan_handle_load_invalid_value, (Overflow * d, uintptr_t v), (d, v))
NUV_UBSAN_ABORT(__ubsan_handle_vla_bound_not_positive, (Overflow * d, uintptr_t v), (d, v))
NUV_UBSAN_ABORT(__ubsan_handle_pointer_overflow, (Location * at, uintptr_t b, uintptr_t r),
                (at, b, r))
NUV_UBSAN_ABORT(__ubsan_handle_nonnull_arg, (Nonnull * d), (d))
NUV_UBSAN_ABORT(__ubsan_handle_nonnull_return_v1, (Location * a, Location* b), (a, b))
NUV_UBSAN_ABORT(__ubsan_handle_invalid_builtin, (Builtin * d), (d))
NUV_UBSAN_ABORT(__ubsan_handle_float_cast_overflow, (Location * at, uintptr_t v), (at, v))

}  // extern "C"
