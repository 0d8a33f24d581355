// Clean-up on the way out of a block, as the interpreter's own statements do
// it: `try: ... except: <handler>; raise`, `try: ... finally: <clean-up>` and
// `with <manager> as value: ...`.
//
// While a handler or clean-up runs for a failed block, the failure counts as
// the exception being handled (what sys.exception() shows), so an error that
// the clean-up raises carries it as __context__, exactly as in an except or
// finally clause. The failure itself is re-raised as the same object, with
// its traceback.
#pragma once

#include <utility>

#include "core/cpython_internals.hpp"
#include "core/ref.hpp"

namespace tools {

// The exception that left a guarded block, taken from the error indicator and
// made the handled exception until destruction.
class PendingException {
 public:
  PendingException();
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;

  Handle value() const { return exception_; }
  // `raise` with no argument: the same exception continues.
  [[noreturn]] void reraise();

 private:
  Ref exception_;
  HandledException handled_;
};

// Runs `body`; false when it raised a Python exception, which is left set.
// Any other C++ exception runs `cleanup` (no Python exception pending then)
// and continues to the boundary, which reports it.
template <class Body, class Cleanup>
bool succeeds(Body&& body, Cleanup& cleanup) {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const PythonError&) {
    return false;
  } catch (...) {
    cleanup();
    throw;
  }
}

// try: body()  except: handler(); raise
template <class Body, class Handler>
void on_exception(Body&& body, Handler&& handler) {
  if (succeeds(std::forward<Body>(body), handler)) return;
  PendingException pending;
  handler();
  pending.reraise();
}

// try: body()  finally: cleanup()
template <class Body, class Cleanup>
void with_finally(Body&& body, Cleanup&& cleanup) {
  if (succeeds(std::forward<Body>(body), cleanup)) {
    cleanup();
    return;
  }
  PendingException pending;
  cleanup();
  pending.reraise();
}

// The context-manager protocol of one `with` statement: __enter__ and __exit__
// looked up on the type, __exit__ bound before __enter__ is called.
class ContextManager {
 public:
  explicit ContextManager(Handle manager);
  // What __enter__ returned: the target of `as`.
  Handle value() const { return value_; }
  // __exit__(None, None, None), after the block ran to its end.
  void exit();
  // __exit__(type, exception, traceback); true when it suppresses the exception.
  bool exit(Handle exception);

 private:
  Ref exit_;
  Ref value_;
};

// with manager as value: body(value)
// True when the block ran to its end; false when it raised and __exit__
// suppressed the exception (execution continues after the statement).
template <class Body>
bool with_context(Handle manager, Body&& body) {
  ContextManager context(manager);
  auto exit = [&] { context.exit(); };
  if (succeeds([&] { std::forward<Body>(body)(context.value()); }, exit)) {
    context.exit();
    return true;
  }
  PendingException pending;
  if (!context.exit(pending.value())) pending.reraise();
  return false;
}

}  // namespace tools
