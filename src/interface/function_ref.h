// A non-owning reference to a callable, for the variable parts of the
// exchange sequence. Unlike std::function it never allocates, so building it
// cannot fail before the sequence has a chance to catch anything. The
// callable must outlive the call that receives the reference.
#ifndef NALPOICOMM_INTERFACE_FUNCTION_REF_H
#define NALPOICOMM_INTERFACE_FUNCTION_REF_H

#include <memory>
#include <type_traits>
#include <utility>

namespace nalpoicomm {

template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
public:
    template <typename Callable,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<Callable>, FunctionRef>>>
    FunctionRef(Callable&& callable) noexcept  // NOLINT: implicit, as a lambda argument
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          invoke_([](void* object, Args... args) -> Result {
              return (*static_cast<std::remove_reference_t<Callable>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    Result operator()(Args... args) const { return invoke_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    Result (*invoke_)(void*, Args...);
};

}  // namespace nalpoicomm

#endif
