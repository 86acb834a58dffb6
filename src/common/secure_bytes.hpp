#pragma once
// Secret bytes: a heap buffer of fixed length whose storage is wiped when released.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include <openssl/crypto.h>

namespace ostrel::common {

// Wipes memory in a way the optimiser may not drop.
inline void secure_wipe(void* p, std::size_t n) noexcept {
  if (n != 0) OPENSSL_cleanse(p, n);
}
inline void secure_wipe(std::span<std::uint8_t> s) noexcept { secure_wipe(s.data(), s.size()); }

class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t n) : data_(n ? new std::uint8_t[n]() : nullptr), size_(n) {}
  explicit SecureBytes(std::span<const std::uint8_t> src) : SecureBytes(src.size()) {
    if (size_) std::memcpy(data_.get(), src.data(), size_);
  }
  SecureBytes(const SecureBytes& o) : SecureBytes(o.span()) {}
  SecureBytes& operator=(const SecureBytes& o) {
    if (this != &o) {
      SecureBytes tmp(o);
      swap(tmp);
    }
    return *this;
  }
  SecureBytes(SecureBytes&& o) noexcept : data_(std::move(o.data_)), size_(std::exchange(o.size_, 0)) {}
  SecureBytes& operator=(SecureBytes&& o) noexcept {
    if (this != &o) {
      clear();
      data_ = std::move(o.data_);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~SecureBytes() { clear(); }

  void swap(SecureBytes& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
  }
  void clear() noexcept {
    secure_wipe(data_.get(), size_);
    data_.reset();
    size_ = 0;
  }

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }
  std::span<const std::uint8_t> span() const noexcept { return {data_.get(), size_}; }
  std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

// Wipes a stack buffer of secrets when the scope ends, on every exit path.
template <class T>
class WipeOnExit {
 public:
  explicit WipeOnExit(T& obj) noexcept : obj_(obj) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secure_wipe(&obj_, sizeof(T)); }

 private:
  T& obj_;
};

}  // namespace ostrel::common
