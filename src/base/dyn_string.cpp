#include "base/dyn_string.h"

#include <cstdio>
#include <cstring>

#include "base/memory.h"

namespace quarn {
namespace {

constexpr int kLastByte = 23;

bool is_long(const DynString& s) { return (s.bytes_[kLastByte] & 0x80) != 0; }

char* long_ptr(const DynString& s) {
  char* p;
  std::memcpy(&p, s.bytes_, sizeof p);
  return p;
}

std::int64_t long_len(const DynString& s) {
  std::int64_t n;
  std::memcpy(&n, s.bytes_ + 8, sizeof n);
  return n;
}

std::int64_t long_cap(const DynString& s) {
  std::int64_t c;
  std::memcpy(&c, s.bytes_ + 16, sizeof c);
  return ~c;
}

void set_long(DynString& s, char* p, std::int64_t len, std::int64_t cap) {
  std::int64_t ncap = ~cap;
  std::memcpy(s.bytes_, &p, sizeof p);
  std::memcpy(s.bytes_ + 8, &len, sizeof len);
  std::memcpy(s.bytes_ + 16, &ncap, sizeof ncap);
}

void set_short_len(DynString& s, std::int64_t n) {
  s.bytes_[n] = 0;
  s.bytes_[kLastByte] = static_cast<unsigned char>(n);
}

}  // namespace

DynString::DynString() noexcept { std::memset(bytes_, 0, sizeof bytes_); }

DynString::~DynString() { dynstr_free(*this); }

DynString::DynString(DynString&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  std::memset(other.bytes_, 0, sizeof other.bytes_);
}

DynString& DynString::operator=(DynString&& other) noexcept {
  if (this != &other) {
    // The new value may already use this very block (never in practice, but cheap to honour).
    if (is_long(*this) && !(is_long(other) && long_ptr(other) == long_ptr(*this))) mem_free(long_ptr(*this));
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
  }
  return *this;
}

bool dynstr_is_long(const DynString& s) { return is_long(s); }

std::int64_t dynstr_length(const DynString& s) { return is_long(s) ? long_len(s) : s.bytes_[kLastByte]; }

std::int64_t dynstr_capacity(const DynString& s) { return is_long(s) ? long_cap(s) : kDynStringInline; }

char* dynstr_data(DynString& s) { return is_long(s) ? long_ptr(s) : reinterpret_cast<char*>(s.bytes_); }

const char* dynstr_data(const DynString& s) {
  return is_long(s) ? long_ptr(s) : reinterpret_cast<const char*>(s.bytes_);
}

void dynstr_from(DynString& s, const char* bytes, std::int64_t n) {
  if (n < 0 || (n > 0 && bytes == nullptr)) n = 0;
  if (n <= kDynStringInline) {
    // The source may be this string's own text; copy before the old block is released.
    unsigned char tmp[kDynStringInline];
    if (n > 0) std::memcpy(tmp, bytes, static_cast<std::size_t>(n));
    dynstr_free(s);
    if (n > 0) std::memcpy(s.bytes_, tmp, static_cast<std::size_t>(n));
    set_short_len(s, n);
    return;
  }
  char* block = static_cast<char*>(mem_alloc(static_cast<std::size_t>(n) + 1));
  if (block != nullptr) {
    std::memcpy(block, bytes, static_cast<std::size_t>(n));
    block[n] = 0;
  }
  dynstr_free(s);
  if (block == nullptr) return;  // stays a valid empty string
  set_long(s, block, n, n);
}

void dynstr_from(DynString& s, const char* cstr) {
  dynstr_from(s, cstr, cstr ? static_cast<std::int64_t>(std::strlen(cstr)) : 0);
}

char* dynstr_reserve(DynString& s, std::int64_t want) {
  if (is_long(s)) {
    std::int64_t cap = long_cap(s);
    if (want <= cap) return long_ptr(s);
    char* block = static_cast<char*>(mem_realloc(long_ptr(s), static_cast<std::size_t>(want) + 1));
    if (block == nullptr) return nullptr;
    set_long(s, block, long_len(s), want);
    return block;
  }
  if (want <= kDynStringInline) return reinterpret_cast<char*>(s.bytes_);
  char* block = static_cast<char*>(mem_alloc(static_cast<std::size_t>(want) + 1));
  if (block == nullptr) return nullptr;
  std::int64_t len = s.bytes_[kLastByte];
  std::memcpy(block, s.bytes_, kDynStringInline + 1);
  set_long(s, block, len, want);
  return block;
}

char* dynstr_append(DynString& s, const void* bytes, std::int64_t n) {
  if (n < 0) return nullptr;
  const char* src = static_cast<const char*>(bytes);
  std::int64_t len = dynstr_length(s);
  std::int64_t newlen = len + n;
  char* storage = dynstr_data(s);
  if (newlen > dynstr_capacity(s)) {
    char* old = storage;
    storage = dynstr_reserve(s, n + (len * 3) / 2);
    if (storage == nullptr) return nullptr;
    // A string may append a piece of itself; follow the piece to the new storage.
    std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(src) - reinterpret_cast<std::uintptr_t>(old);
    if (storage != old && offset <= static_cast<std::uintptr_t>(len)) src = storage + offset;
  }
  if (n > 0) std::memmove(storage + len, src, static_cast<std::size_t>(n));
  dynstr_set_length(s, newlen);
  return storage;
}

char* dynstr_append(DynString& s, const char* cstr) {
  return dynstr_append(s, cstr, cstr ? static_cast<std::int64_t>(std::strlen(cstr)) : 0);
}

std::int64_t dynstr_append_vformat(DynString& s, const char* format, std::va_list args) {
  std::va_list measure;
  va_copy(measure, args);
  int count = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (count < 0) return -1;
  std::int64_t len = dynstr_length(s);
  char* storage = dynstr_reserve(s, len + count);
  if (storage == nullptr) return -1;
  std::vsnprintf(storage + len, static_cast<std::size_t>(count) + 1, format, args);
  dynstr_set_length(s, len + count);
  return count;
}

std::int64_t dynstr_append_format(DynString& s, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::int64_t r = dynstr_append_vformat(s, format, args);
  va_end(args);
  return r;
}

void dynstr_set_length(DynString& s, std::int64_t n) {
  if (n < 0) n = 0;
  if (is_long(s)) {
    if (n > long_cap(s)) n = long_cap(s);
    set_long(s, long_ptr(s), n, long_cap(s));
    long_ptr(s)[n] = 0;
  } else {
    if (n > kDynStringInline) n = kDynStringInline;
    set_short_len(s, n);
  }
}

void dynstr_pop_char(DynString& s) {
  std::int64_t len = dynstr_length(s);
  if (len == 0) return;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(dynstr_data(s));
  std::int64_t i = len - 1;
  while (i > 0 && (p[i] & 0xC0) == 0x80) --i;
  dynstr_set_length(s, i);
}

void dynstr_clear(DynString& s) { dynstr_set_length(s, 0); }

void dynstr_free(DynString& s) {
  if (is_long(s)) mem_free(long_ptr(s));
  std::memset(s.bytes_, 0, sizeof s.bytes_);
}

DynStringList::~DynStringList() { dynstr_list_clear(*this); }

bool dynstr_list_push(DynStringList& list, DynString& s) {
  if (list.count == list.capacity) {
    std::int64_t newcap = list.capacity * 3 / 2 + 4;
    // DynString is plain bytes, so the items can move with realloc.
    void* grown = mem_realloc(list.items, static_cast<std::size_t>(newcap) * sizeof(DynString));
    if (grown == nullptr) return false;
    list.items = static_cast<DynString*>(grown);
    list.capacity = newcap;
  }
  std::memcpy(list.items[list.count].bytes_, s.bytes_, sizeof s.bytes_);
  std::memset(s.bytes_, 0, sizeof s.bytes_);
  ++list.count;
  return true;
}

void dynstr_list_clear(DynStringList& list) {
  for (std::int64_t i = 0; i < list.count; ++i) dynstr_free(list.items[i]);
  mem_free(list.items);
  list.items = nullptr;
  list.count = 0;
  list.capacity = 0;
}

}  // namespace quarn
