#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn {

// Where a trace writer puts its bytes: appended in order, with the bytes already appended open
// to being overwritten until the end (binary formats patch lengths and links once they are
// known). The output file of a trace is one; tests use one in memory.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends n bytes; false when they could not all be taken.
  virtual bool write(const void* data, std::size_t n) = 0;
  // Overwrites n bytes at `offset`, which with n lies within what was appended; false otherwise
  // or when they could not be written.
  virtual bool rewrite(std::uint64_t offset, const void* data, std::size_t n) = 0;
  // How many bytes were appended so far.
  virtual std::uint64_t size() const = 0;
};

}  // namespace quarn
