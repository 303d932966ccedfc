#include "app_client/body.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kFirstBlock = 16 * 1024;
// Doubling stops here: beyond it a block is an eighth of the body so far, so the unused tail
// of the last block stays small.
constexpr std::size_t kDoublingLimit = 64 * 1024 * 1024;
}  // namespace

std::vector<std::string_view> Body::pieces() const {
  std::vector<std::string_view> out;
  out.reserve(blocks_.size());
  for (const Block& block : blocks_) {
    if (block.used > 0) out.emplace_back(block.data.get(), block.used);
  }
  return out;
}

std::string Body::to_string() const {
  std::string out;
  out.reserve(size_);
  for (std::string_view piece : pieces()) out.append(piece);
  return out;
}

void Body::reserve(std::size_t total) {
  if (total <= size_) return;
  const std::size_t room = blocks_.empty() ? 0 : blocks_.back().capacity - blocks_.back().used;
  if (room >= total - size_) return;
  // Uninitialised on purpose: the receive fills it, and untouched pages cost nothing.
  blocks_.push_back(Block{std::unique_ptr<char[]>(new char[total - size_]), total - size_, 0, true});
}

void Body::append(std::string_view bytes) {
  while (!bytes.empty()) {
    std::span<char> room = free_space();
    const std::size_t n = std::min(room.size(), bytes.size());
    std::memcpy(room.data(), bytes.data(), n);
    commit(n);
    bytes.remove_prefix(n);
  }
}

std::span<char> Body::free_space() {
  if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) {
    std::size_t capacity = kFirstBlock;
    // After a block of the stated length, more bytes are a surprise: start small again.
    if (!blocks_.empty() && !blocks_.back().stated) {
      capacity = blocks_.back().capacity < kDoublingLimit ? blocks_.back().capacity * 2
                                                          : std::max(kDoublingLimit, size_ / 8);
    }
    // Uninitialised on purpose: the receive fills it.
    blocks_.push_back(Block{std::unique_ptr<char[]>(new char[capacity]), capacity, 0});
  }
  Block& last = blocks_.back();
  return {last.data.get() + last.used, last.capacity - last.used};
}

void Body::commit(std::size_t filled) {
  blocks_.back().used += filled;
  size_ += filled;
}
