#pragma once

#include <tuple>
#include <utility>

#include "platform/thread/Task.h"

namespace zivuv::platform {

// The one answer that a waiting caller gets: move-only, so that it has a
// single owner, and answered exactly once, either by a call or, when it is
// dropped unanswered (work destroyed unrun by a closed executor, a path
// that forgot it), by its destructor with the fallback given when it was
// made. The fallback is what the caller is told when the work did not
// happen. Any thread; the answer runs on the thread that gives it.
template <typename... Args>
class Reply {
 public:
  // No caller: answers nothing.
  Reply() = default;
  template <typename F>
  explicit Reply(F&& answer, Args... fallback)
      : answer_(std::forward<F>(answer)), fallback_(std::move(fallback)...) {}
  Reply(Reply&&) noexcept = default;
  // Answers the one it replaces first, if it is still unanswered.
  Reply& operator=(Reply&& other) noexcept {
    if (this != &other) {
      finish();
      answer_ = std::move(other.answer_);
      fallback_ = std::move(other.fallback_);
    }
    return *this;
  }
  ~Reply() { finish(); }

  // Answers; the reply is spent afterwards.
  void operator()(Args... args) && {
    auto answer = std::move(answer_);
    if (answer) answer(std::move(args)...);
  }
  // Whether it is still to be answered.
  explicit operator bool() const { return static_cast<bool>(answer_); }

 private:
  void finish() noexcept {
    if (!answer_) return;
    auto answer = std::move(answer_);
    try {
      std::apply(answer, std::move(fallback_));
    } catch (...) {
      // A destructor throws nothing; an answer that failed is lost.
    }
  }

  UniqueFunction<void(Args...)> answer_;
  std::tuple<Args...> fallback_;
};

}  // namespace zivuv::platform
