#include "core/stack.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace tools {

namespace {

// Left unused below the floor: enough for the interpreter to run a little
// Python code (a __format__ called at the deepest level) and to unwind.
constexpr std::size_t kReserve = 256 * 1024;

StackLimit find_stack_limit() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {};
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool found = pthread_attr_getstack(&attributes, &lowest, &size) == 0 && lowest != nullptr;
  pthread_attr_destroy(&attributes);
  if (!found) return {};
  const char* bottom = static_cast<const char*>(lowest);
  return {bottom, bottom + std::min(kReserve, size / 4)};
}

}  // namespace

const StackLimit& native_stack_limit() {
  thread_local const StackLimit limit = find_stack_limit();
  return limit;
}

void StackGuard::raise_depth_exceeded() {
  raise_error(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
}

}  // namespace tools
