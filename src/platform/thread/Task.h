#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace zivuv::platform {

template <typename Signature>
class UniqueFunction;

// A callable that may own what cannot be copied (a Reply): move-only, and
// empty once moved from. Calling an empty one is a defect.
template <typename R, typename... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() = default;
  UniqueFunction(std::nullptr_t) {}  // NOLINT: as std::function
  template <typename F, typename = std::enable_if_t<
                            !std::is_same_v<std::decay_t<F>, UniqueFunction> &&
                            std::is_invocable_r_v<R, std::decay_t<F>&, Args...>>>
  UniqueFunction(F&& function)  // NOLINT: as std::function
      : held_(std::make_unique<Held<std::decay_t<F>>>(std::forward<F>(function))) {}

  R operator()(Args... args) { return held_->call(std::forward<Args>(args)...); }
  explicit operator bool() const { return held_ != nullptr; }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual R call(Args&&... args) = 0;
  };
  template <typename F>
  struct Held final : Base {
    template <typename G>
    explicit Held(G&& g) : function(std::forward<G>(g)) {}
    R call(Args&&... args) override { return std::invoke(function, std::forward<Args>(args)...); }
    F function;
  };
  std::unique_ptr<Base> held_;
};

// Work handed to an executor.
using Task = UniqueFunction<void()>;

}  // namespace zivuv::platform
