#pragma once

#include <cstdint>

namespace quarn {

// The length of the well-formed UTF-8 sequence at the start of `p` (n > 0 bytes left): 1 for an
// ASCII byte, 0 when there is none there (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, or a code point beyond U+10FFFF). Names and texts from outside pass
// through it wherever a format must hold valid text (an MDF4 comment's XML, a report's JSON).
inline int utf8_sequence(const unsigned char* p, std::int64_t n) {
  const unsigned char c = p[0];
  int length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (n < length || p[1] < low || p[1] > high) return 0;
  for (int i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

}  // namespace quarn
