#pragma once

#include <bit>
#include <cstdarg>
#include <cstdint>

#include "base/printf_format.h"
#include "base/str_view.h"

namespace quarn {

// A growable byte string in exactly three 64-bit words. Up to 22 bytes live inside the object
// (short form: text, NUL, and the length in the last byte); longer text lives in one heap block
// (long form: pointer, length, and the bitwise complement of the capacity, whose sign bit is the
// top bit of the last byte and so doubles as the long flag). The text is always NUL-terminated.
//
// Three zero words are an empty string. A DynString owns its block and is moved, never copied;
// a moved-from string is empty.
class DynString {
 public:
  DynString() noexcept;
  ~DynString();
  DynString(DynString&& other) noexcept;
  DynString& operator=(DynString&& other) noexcept;
  DynString(const DynString&) = delete;
  DynString& operator=(const DynString&) = delete;

  alignas(8) unsigned char bytes_[24];
};

static_assert(sizeof(DynString) == 24);
static_assert(std::endian::native == std::endian::little, "the long flag is the top bit of the last byte");

inline constexpr std::int64_t kDynStringInline = 22;

// Replaces the content with the n bytes. When memory cannot be had the string is left empty.
void dynstr_from(DynString& s, const char* bytes, std::int64_t n);
void dynstr_from(DynString& s, const char* cstr);
inline void dynstr_from(DynString& s, StrView v) { dynstr_from(s, v.data, v.length); }

std::int64_t dynstr_length(const DynString& s);
std::int64_t dynstr_capacity(const DynString& s);
bool dynstr_is_long(const DynString& s);
char* dynstr_data(DynString& s);
const char* dynstr_data(const DynString& s);
inline StrView dynstr_view(const DynString& s) { return StrView{dynstr_data(s), dynstr_length(s)}; }

// Makes room for `want` bytes of text (plus the NUL) without changing the length. Returns the
// storage, or null when memory cannot be had (the string is then unchanged). Adds no room
// beyond `want`.
char* dynstr_reserve(DynString& s, std::int64_t want);

// Appends n bytes, growing to n + 1.5 x length when needed. The bytes may come from the string
// itself. Returns the storage, or null when memory cannot be had (the string is then unchanged).
char* dynstr_append(DynString& s, const void* bytes, std::int64_t n);
inline char* dynstr_append(DynString& s, StrView v) { return dynstr_append(s, v.data, v.length); }
char* dynstr_append(DynString& s, const char* cstr);

// Appends printf-formatted text (the C library's formatter). Returns the number of characters
// appended, or -1 (string unchanged) when the format cannot be rendered or memory runs out.
std::int64_t dynstr_append_format(DynString& s, const char* format, ...) QUARN_PRINTF(2, 3);
std::int64_t dynstr_append_vformat(DynString& s, const char* format, std::va_list args);

// Sets the length to n (at most the capacity) and writes the NUL there. For callers that wrote
// text straight into reserved storage.
void dynstr_set_length(DynString& s, std::int64_t n);

// Removes the last UTF-8 character (a trailing run of continuation bytes and their lead byte).
void dynstr_pop_char(DynString& s);

// Length 0; a long string keeps its block and capacity.
void dynstr_clear(DynString& s);

// Frees the heap block of a long string and leaves an empty short string.
void dynstr_free(DynString& s);

// A growable list of owned strings (the option values, the inputs).
struct DynStringList {
  DynStringList() = default;
  ~DynStringList();
  DynStringList(const DynStringList&) = delete;
  DynStringList& operator=(const DynStringList&) = delete;

  DynString* items = nullptr;
  std::int64_t count = 0;
  std::int64_t capacity = 0;
};

// Moves `s` to the end of the list. False, with `s` left as it was, when the list cannot grow.
bool dynstr_list_push(DynStringList& list, DynString& s);
// Frees every string and the list's storage.
void dynstr_list_clear(DynStringList& list);

}  // namespace quarn
