#pragma once
// The per-instance borrow guard. Readers (getters, ordinary methods, conversions that copy the
// value) share it; a method that modifies the instance holds it alone. The interpreter lock
// serialises Python threads, so a conflict can only come from re-entrant use of one object,
// e.g. a __str__ called by a mutating method that reaches back into the same instance.
// The flag is only touched with the interpreter lock held, hence no atomics.
#include <optional>
#include <utility>

#include "py/bind/errors.hpp"

namespace ostrel::py::bind {

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  void release_shared() noexcept { --state_; }
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  long state_ = 0;  // > 0: that many shared borrows; -1: one exclusive borrow
};

class SharedBorrow {
 public:
  // Empty, with RuntimeError "Already mutably borrowed" set, when the instance is held exclusively.
  static std::optional<SharedBorrow> acquire(BorrowFlag& flag) {
    if (!flag.try_shared()) {
      raise(ErrorKind::Runtime, "Already mutably borrowed");
      return std::nullopt;
    }
    return SharedBorrow(flag);
  }
  SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (flag_ != nullptr) flag_->release_shared();
  }

 private:
  explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  // Empty, with RuntimeError "Already borrowed" set, when any other borrow is held.
  static std::optional<ExclusiveBorrow> acquire(BorrowFlag& flag) {
    if (!flag.try_exclusive()) {
      raise(ErrorKind::Runtime, "Already borrowed");
      return std::nullopt;
    }
    return ExclusiveBorrow(flag);
  }
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) flag_->release_exclusive();
  }

 private:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
  BorrowFlag* flag_;
};

}  // namespace ostrel::py::bind
