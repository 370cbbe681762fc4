// Trims the C++ runtime to what this program uses.
//
// The stock handler for an uncaught exception prints the exception's
// demangled type name, which links the whole symbol demangler (some 46 KB)
// into a program that has no console to print to. And the runtime's helpers
// that raise std::length_error or std::out_of_range for misused strings pull
// in a second, reference-counted string implementation for the exceptions'
// messages (some 40 KB more). Misusing a string is a programming error here,
// never an expected failure, so those helpers end the process; running out of
// memory still raises std::bad_alloc as usual.
//
// The stack protector's guard and failure handler are this program's own
// too. GCC's libssp would bring them with a start-up routine that seeds the
// guard through CryptoAPI, which may load provider DLLs, searching this
// program's folder first, before wWinMain has restricted DLL loading. With
// both defined here, libssp is not linked at all; the entry point seeds the
// guard (entry_win.cpp).
#include <windows.h>

#include <cstdlib>
#include <new>

extern "C" {

// Seeded by the entry point before any checked function runs. Used by the
// compiler's checks, which the link-time optimiser does not see.
__attribute__((used)) void* __stack_chk_guard = nullptr;

// A checked frame was overwritten: the process ends at once, the way the
// system's own C runtime ends it, running nothing more of its own.
[[noreturn]] __attribute__((used)) void __stack_chk_fail() {
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}

}  // extern "C"

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() {
  throw bad_alloc();
}
void __throw_bad_array_new_length() {
  throw bad_array_new_length();
}
void __throw_length_error(const char*) {
  std::abort();
}
void __throw_logic_error(const char*) {
  std::abort();
}
void __throw_out_of_range(const char*) {
  std::abort();
}
void __throw_out_of_range_fmt(const char*, ...) {
  std::abort();
}
void __throw_invalid_argument(const char*) {
  std::abort();
}

}  // namespace std
