#ifndef OSCAR_SCOPE_EXIT_H
#define OSCAR_SCOPE_EXIT_H

#include <functional>
#include <utility>

namespace oscar {

// Runs an action when the scope ends, on every path, unless dismissed.
// Exit actions of one scope run in reverse order of their declaration.
// The action must not throw. Not copyable; one owner.
class Scope_Exit {
 public:
  explicit Scope_Exit(std::function<void()> action) : action_(std::move(action)) {}
  ~Scope_Exit() {
    if (action_) action_();
  }
  Scope_Exit(const Scope_Exit&) = delete;
  Scope_Exit& operator=(const Scope_Exit&) = delete;

  void dismiss() { action_ = nullptr; }

 private:
  std::function<void()> action_;
};

}  // namespace oscar

#endif
