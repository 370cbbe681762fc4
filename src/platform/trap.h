// Error traps that compile away where the build has no exceptions. The
// logic traps errors in a few fixed places (a failing step of a rollback is
// skipped, a failed lookup is a false result). A build without exceptions
// has nothing that raises: the bindings report failure through results, and
// running out of memory is handled by the sequencer's new-handler instead.
#pragma once

#if defined(__cpp_exceptions)
#include <exception>
#endif

// `step()`, or `failed` when it raises an error.
template <typename Result, typename Step>
Result Trapping(Step step, Result failed) {
#if defined(__cpp_exceptions)
  try {
    return step();
  } catch (const std::exception&) {
    return failed;
  }
#else
  (void)failed;
  return step();
#endif
}

// Runs `step`; an error it raises is ignored.
template <typename Step>
void IgnoringErrors(Step step) {
#if defined(__cpp_exceptions)
  try {
    step();
  } catch (const std::exception&) {
  }
#else
  step();
#endif
}
