// The type-safe argument list of the format engine.
//
// A front end such as sup::printf(fmt, args...) captures each argument into a
// tagged Arg and hands the engine an ArgList: a view of that array with a
// read cursor. The engine consumes it left to right and narrows integers
// itself, so the engine's 32-bit rules (%X, %D, %ld read a 32-bit long) hold
// on this 64-bit host without undefined behaviour, and a missing or
// mismatched argument has a defined, harmless result (0, null).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sup {

class ArgList;
struct Nested;

struct Arg {
    enum Kind : unsigned char {
        kNone,     // no argument (past the end of the list)
        kInt,      // any integer, sign- or zero-extended to 64 bits
        kDouble,   // float or double
        kString,   // const char* (may be null)
        kPointer,  // any other object pointer, for %p
        kIntPtr,   // int*, the target of %n
        kNested,   // a format and its list, for %r
    };
    Kind kind = kNone;
    bool is_signed = false;  // kInt: the captured type was signed
    union {
        std::int64_t i = 0;
        double d;
        const char* s;
        const void* p;
        int* n;
        const Nested* r;
    };
};

// A view of captured arguments with a read cursor. Copies are independent
// cursors over the same arguments; nothing is owned.
class ArgList {
public:
    constexpr ArgList() = default;
    constexpr ArgList(const Arg* args, std::size_t count) : args_(args), count_(count) {}

    // The next argument, or an Arg of kind kNone once the list is used up.
    const Arg& next() {
        static const Arg none{};
        return pos_ < count_ ? args_[pos_++] : none;
    }
    std::size_t remaining() const { return count_ - pos_; }

private:
    const Arg* args_ = nullptr;
    std::size_t count_ = 0;
    std::size_t pos_ = 0;
};

// The argument of %r: a nested format run with its own list.
struct Nested {
    const char* fmt;
    ArgList args;
};

// --- capture -------------------------------------------------------------

template <class T>
Arg capture(const T& v) {
    Arg a;
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, Nested>) {
        a.kind = Arg::kNested;
        a.r = &v;
    } else if constexpr (std::is_enum_v<U>) {
        a.kind = Arg::kInt;
        a.is_signed = std::is_signed_v<std::underlying_type_t<U>>;
        a.i = static_cast<std::int64_t>(v);
    } else if constexpr (std::is_integral_v<U>) {
        a.kind = Arg::kInt;
        a.is_signed = std::is_signed_v<U>;
        a.i = static_cast<std::int64_t>(v);
    } else if constexpr (std::is_floating_point_v<U>) {
        a.kind = Arg::kDouble;
        a.d = static_cast<double>(v);
    } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
        a.kind = Arg::kPointer;
        a.p = nullptr;
    } else if constexpr (std::is_array_v<U> &&
                         std::is_same_v<std::remove_cv_t<std::remove_extent_t<U>>, char>) {
        a.kind = Arg::kString;
        a.s = v;
    } else if constexpr (std::is_pointer_v<U> &&
                         std::is_same_v<std::remove_cv_t<std::remove_pointer_t<U>>, char>) {
        a.kind = Arg::kString;
        a.s = v;
    } else if constexpr (std::is_pointer_v<U> && std::is_same_v<std::remove_pointer_t<U>, int>) {
        a.kind = Arg::kIntPtr;
        a.n = v;
    } else if constexpr (std::is_pointer_v<U>) {
        a.kind = Arg::kPointer;
        a.p = static_cast<const void*>(v);
    } else {
        static_assert(sizeof(T) == 0, "sup: argument type has no format conversion");
    }
    return a;
}

// A captured argument array that outlives one call, for callers that build a
// list to pass on (%r in tests, the error functions' callers).
template <std::size_t N>
struct ArgPack {
    Arg args[N == 0 ? 1 : N];
    ArgList list() const { return ArgList(args, N); }
};

template <class... A>
ArgPack<sizeof...(A)> pack(const A&... a) {
    return ArgPack<sizeof...(A)>{{capture(a)...}};
}

}  // namespace sup

// Front ends capture their arguments into a local array this way; the extra
// element keeps the array non-empty when there are no arguments.
#define SUP_CAPTURE(name, args)                                              \
    const ::sup::Arg name##_arr[] = {::sup::capture(args)..., ::sup::Arg{}}; \
    const ::sup::ArgList name(name##_arr, sizeof...(args))
