#pragma once

#include <cstddef>

namespace quarn {

// Many small blocks carved from few large ones: an allocation is a pointer bump and everything is
// released at once. Made for data that lives exactly as long as one unit of work (the frame
// copies of one log), where a heap block per item would cost a header and a free each.
class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // n bytes, 8-byte aligned, valid until reset or destruction; null when memory runs out.
  void* allocate(std::size_t n);

  // Releases everything allocated; keeps one block for reuse.
  void reset();

 private:
  struct Block {
    Block* next;  // the block filled before this one
    std::size_t size;
    std::size_t used;
  };
  // Large, so that even a long log kept whole takes few blocks.
  static constexpr std::size_t kBlockSize = std::size_t{4} << 20;

  Block* head_ = nullptr;  // the block being filled
};

}  // namespace quarn
