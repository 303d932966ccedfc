// A response body of any size, held once.
//
// The bytes live in a chain of blocks; each block is allocated once, filled, and never moved, so a
// body of a gigabyte is received without copies and without the peak of a doubling buffer. When
// the answer states its length, one block of that size is made before the body arrives, so a
// large body is one piece; otherwise blocks double from 16 KiB, which keeps small answers small
// and a long chain short.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Body {
 public:
  Body() = default;
  explicit Body(std::string_view bytes) { append(bytes); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The bytes in order, as consecutive pieces.
  std::vector<std::string_view> pieces() const;
  // One contiguous copy, for answers that are read as text.
  std::string to_string() const;

  // Room for `total` bytes in all, made at once, as the answer's stated length; std::bad_alloc
  // when memory cannot hold it.
  void reserve(std::size_t total);
  void append(std::string_view bytes);
  // Free room at the end of the chain to receive into, then the count actually filled.
  std::span<char> free_space();
  void commit(std::size_t filled);

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
    bool stated = false;  // made for the answer's stated length
  };
  std::vector<Block> blocks_;
  std::size_t size_ = 0;
};
