#include "batch/shard.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace quarn {

namespace {

constexpr std::int64_t kMaxShards = 1'000'000'000;

// Decimal digits only, at least one, no sign, at most kMaxShards; `end` the byte after them.
bool parse_number(const char* text, std::int64_t& value, const char*& end) {
  value = 0;
  const char* p = text;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > kMaxShards) return false;
    ++p;
  }
  end = p;
  return p != text;
}

// A whole environment value as a number (a leading '-' allowed); false when unset or malformed.
bool read_number(EnvironmentLookup lookup, const char* name, char* buffer, std::size_t capacity, std::int64_t& value,
                 bool& present) {
  present = lookup(name, buffer, capacity);
  if (!present) return false;
  const bool negative = buffer[0] == '-';
  const char* end = nullptr;
  if (!parse_number(buffer + (negative ? 1 : 0), value, end) || *end != '\0') return false;
  if (negative) value = -value;
  return true;
}

// An index into 0..count-1 from a variable that holds one directly.
bool resolve_index(const char* name, int given_count, EnvironmentLookup lookup, Shard& shard, char* message,
                   std::size_t message_size) {
  char value[32];
  std::int64_t index = 0;
  bool present = false;
  if (!read_number(lookup, name, value, sizeof value, index, present)) {
    std::snprintf(message, message_size, "--shard=auto: %s=%s is no shard index", name, present ? value : "");
    return false;
  }
  if (given_count == 0) {
    std::snprintf(message, message_size, "--shard=auto: %s gives no shard count; give it as --shard=auto/N", name);
    return false;
  }
  if (index < 0 || index >= given_count) {
    std::snprintf(message, message_size, "--shard=auto/%d: %s=%lld is not below %d", given_count, name,
                  static_cast<long long>(index), given_count);
    return false;
  }
  shard.index = static_cast<int>(index);
  shard.count = given_count;
  return true;
}

bool resolve_array_task(int given_count, EnvironmentLookup lookup, Shard& shard, char* message,
                        std::size_t message_size) {
  static const char* const kNames[] = {"SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_TASK_MIN", "SLURM_ARRAY_TASK_STEP",
                                       "SLURM_ARRAY_TASK_COUNT"};
  char values[4][32] = {};
  std::int64_t numbers[4] = {};
  bool readable = true;
  for (int i = 0; i < 4; ++i) {
    bool present = false;
    if (!read_number(lookup, kNames[i], values[i], sizeof values[i], numbers[i], present)) readable = false;
    if (!present) std::strcpy(values[i], "(not set)");
  }
  const std::int64_t id = numbers[0];
  const std::int64_t min = numbers[1];
  const std::int64_t step = numbers[2];
  const std::int64_t count = numbers[3];
  // Only a plain range of ids (first-last, or with a step) maps one to one onto 0..count-1; a
  // list of ids would leave shards that no task converts.
  if (!readable || step < 1 || count < 1 || id < min || (id - min) % step != 0 || (id - min) / step >= count) {
    std::snprintf(message, message_size,
                  "--shard=auto: the job array is not a plain range of task ids (%s=%s, %s=%s, %s=%s, %s=%s)",
                  kNames[0], values[0], kNames[1], values[1], kNames[2], values[2], kNames[3], values[3]);
    return false;
  }
  if (given_count != 0 && given_count != count) {
    std::snprintf(message, message_size, "--shard=auto/%d disagrees with %s=%lld", given_count, kNames[3],
                  static_cast<long long>(count));
    return false;
  }
  shard.index = static_cast<int>((id - min) / step);
  shard.count = static_cast<int>(count);
  return true;
}

}  // namespace

bool shard_parse(const char* text, Shard& shard, bool& automatic) {
  automatic = false;
  if (text == nullptr) return false;
  if (std::strcmp(text, "auto") == 0) {
    automatic = true;
    shard.index = 0;
    shard.count = 0;
    return true;
  }
  std::int64_t index = 0;
  std::int64_t count = 0;
  const char* p = text;
  const bool automatic_index = std::strncmp(text, "auto/", 5) == 0;
  if (automatic_index) {
    p = text + 4;
  } else if (!parse_number(text, index, p)) {
    return false;
  }
  if (*p != '/' || !parse_number(p + 1, count, p) || *p != '\0') return false;
  if (count < 1 || index >= count) return false;
  automatic = automatic_index;
  shard.index = static_cast<int>(index);
  shard.count = static_cast<int>(count);
  return true;
}

bool shard_resolve_auto(int given_count, EnvironmentLookup lookup, Shard& shard, char* message,
                        std::size_t message_size) {
  char probe[32];
  if (lookup("SLURM_ARRAY_TASK_ID", probe, sizeof probe)) {
    return resolve_array_task(given_count, lookup, shard, message, message_size);
  }
  for (const char* name : {"JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX"}) {
    if (lookup(name, probe, sizeof probe)) {
      return resolve_index(name, given_count, lookup, shard, message, message_size);
    }
  }
  std::snprintf(message, message_size,
                "--shard=auto: none of SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX and AWS_BATCH_JOB_ARRAY_INDEX is set");
  return false;
}

int shard_of(StrView base, int count) {
  if (count <= 1) return 0;
  std::int64_t n = base.length;
  // "B_LIN" and "B" write one trace between them ("B_LIN.asc"), whatever the letter case.
  while (n >= 4) {
    const char* tail = base.data + n - 4;
    if (tail[0] != '_' || (tail[1] | 0x20) != 'l' || (tail[2] | 0x20) != 'i' || (tail[3] | 0x20) != 'n') break;
    n -= 4;
  }
  // FNV-1a over the folded bytes, then a mix so that the low bits the modulo takes are spread.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto add = [&h](unsigned char c) {
    h ^= c;
    h *= 0x100000001b3ULL;
  };
  for (std::int64_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(base.data[i]);
    if (c < 0x80) {
      add(c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 0x20) : c);
      continue;
    }
    if (c < 0xC0) continue;  // the rest of a character already counted
    // The two letters beyond ASCII whose capital is an ASCII one: dotless i and long s.
    const auto next = i + 1 < n ? static_cast<unsigned char>(base.data[i + 1]) : 0;
    if (c == 0xC4 && next == 0xB1) {
      add('I');
    } else if (c == 0xC5 && next == 0xBF) {
      add('S');
    } else {
      add(0x80);
    }
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return static_cast<int>(h % static_cast<std::uint64_t>(count));
}

}  // namespace quarn
