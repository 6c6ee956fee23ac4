#pragma once

// The scans of the record columns. Each gives exactly the result of the C library format named
// beside it, on every input: the common shapes (plain runs of digits) are read directly, anything
// else (blanks, signs, prefixes, overlong runs, stray characters) goes to the C library itself.
// Nothing else includes this but the decoder and its tests.

#include <cstddef>

namespace quarn::textlog_detail {

// sscanf(field, "%x", &value) == 1, with `field` NUL-terminated at `length`.
bool scan_hex_u32(const char* field, std::size_t length, unsigned& value);

// sscanf(field, "%hhu", &value) == 1, with `field` NUL-terminated at `length`.
bool scan_u8(const char* field, std::size_t length, unsigned char& value);

// sscanf(at, "%2hhx", &value) == 1, where `at` is NUL-terminated somewhere after it.
bool scan_hex_pair(const char* at, unsigned char& value);

// The seven numbers of a 17-character timestamp template, as
// sscanf(tmpl, "%4u%2u%2u%2u%2u%2u%3u", ...) reads them: the fields it does not reach keep
// their values. Returns the number of fields read.
struct TemplateFields {
  unsigned year, month, day, hour, minute, second, millisecond;
};
int scan_template(const char* tmpl, TemplateFields& f);

// Test hook: true sends every scan to the C library, so that whole logs can be compared both ways.
void set_library_scans_only(bool on);

}  // namespace quarn::textlog_detail
