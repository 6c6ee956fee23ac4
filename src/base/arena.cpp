#include "base/arena.h"

#include "base/memory.h"
#include "base/platform.h"

namespace quarn {
namespace {

constexpr std::size_t kAlign = 8;
constexpr std::size_t round_up(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

}  // namespace

Arena::~Arena() {
  while (head_ != nullptr) {
    Block* next = head_->next;
    mem_free(head_);
    head_ = next;
  }
}

void* Arena::allocate(std::size_t n) {
  n = round_up(n);
  constexpr std::size_t header = round_up(sizeof(Block));
  if (head_ == nullptr || head_->size - head_->used < n) {
    std::size_t size = n + header > kBlockSize ? n + header : kBlockSize;
    auto* block = static_cast<Block*>(mem_alloc(size));
    if (block == nullptr) return nullptr;
    block->next = head_;
    block->size = size;
    block->used = header;
    head_ = block;
  }
  void* p = reinterpret_cast<char*>(head_) + head_->used;
  head_->used += n;
  return p;
}

void Arena::reset() {
  if (head_ == nullptr) return;
  // Keep the oldest block: it is the first one a new unit of work fills.
  while (head_->next != nullptr) {
    Block* next = head_->next;
    mem_free(head_);
    head_ = next;
  }
  head_->used = round_up(sizeof(Block));
}

}  // namespace quarn
