#pragma once

// Marks a function that takes a printf format at argument `f` and its values from argument `a`,
// so that the compiler checks every call. MinGW's GCC reads "printf" as Microsoft's formats (no
// %zu, %lld checked as Microsoft has them); quarn formats with the C99 family there, which is
// what "gnu_printf" describes.
#if defined(__MINGW32__)
#define QUARN_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QUARN_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif
