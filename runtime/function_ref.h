// A non-owning reference to a callable, for work that is run before the call that takes it returns.
#pragma once
#include <type_traits>
#include <utility>

namespace rt {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& f)
  noexcept  // NOLINT: implicit on purpose, like a plain function argument
      : object_(const_cast<void*>(static_cast<const void*>(&f))), call_([](void* o, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace rt
