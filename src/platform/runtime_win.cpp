// Trims the C++ runtime to what this program uses.
//
// The program is built without exceptions and without run-time type
// information: nothing in it raises. The binding reports failure through
// results, and the logic allocates nothing from the first change on disk
// until the new version is started.
//
// - operator new asks the installed new-handler for memory while an
//   allocation fails, and ends the process when none is installed. During
//   the swap the sequencer installs one that rolls the update back, so that
//   an allocation that fails beneath it (the directory lookup's name, say)
//   cannot stop the process half-way either.
// - The runtime's helpers that would raise std::length_error,
//   std::out_of_range and the like for misused strings end the process:
//   misusing a string is a programming error here, never an expected
//   failure. Raising them would also bring in the unwinder and a second,
//   reference-counted string implementation for their messages.
// - The stock handler for an uncaught exception prints the exception's
//   demangled type name, which links the whole symbol demangler (some 46 KB)
//   into a program that has no console to print to.
// - abort, which all of the above end in, is this program's own: the C
//   runtime's opens a box before it ends the process; this one is silent.
// - The new-handler is a plain variable: the program has one thread, and the
//   C++ runtime's would bring its own unwind tables along.
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

void* operator new(std::size_t size) {
  for (;;) {
    if (void* block = std::malloc(size != 0 ? size : 1))
      return block;
    const std::new_handler handler = std::get_new_handler();
    if (!handler)
      std::abort();
    handler();
  }
}

void* operator new[](std::size_t size) {
  return operator new(size);
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

void operator delete[](void* block) noexcept {
  std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

extern "C" {

// Seeded by the entry point before any checked function runs. Used by the
// compiler's checks, which the link-time optimiser does not see.
__attribute__((used)) void* __stack_chk_guard = nullptr;

// The process ends abnormally here, whatever ends it so: std::abort in
// this program, and in the runtime's own code, which calls it too (the
// handlers above and below, a failed allocation with no new-handler, a
// terminate). The C runtime's abort would open a box saying that the
// program asked to be ended "in an unusual way", which a windowless
// program's user can neither act on nor understand. This one ends the
// process at once and without a word, with exit code 3, the code the C
// runtime's abort ends a process with, so that whoever waits on it sees
// the same. Defined here, it also keeps the C runtime's out of the image.
// (Declared noreturn by <cstdlib> already; clang takes only the GNU
// attribute on a later declaration.)
__attribute__((noreturn, used)) void __cdecl abort() {
  TerminateProcess(GetCurrentProcess(), 3);
  __builtin_trap();
}

// Registers a function for exit to run, in msvcrt.dll's own table, as the C
// runtime's start-up, which is not linked (entry_win.cpp), would: the
// destructors of the program's static objects come here.
__attribute__((used)) int __cdecl atexit(void(__cdecl* function)()) {
  return _onexit(reinterpret_cast<_onexit_t>(function)) ? 0 : -1;
}

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

namespace {
new_handler installed_new_handler = nullptr;
}  // namespace

new_handler set_new_handler(new_handler handler) noexcept {
  const new_handler previous = installed_new_handler;
  installed_new_handler = handler;
  return previous;
}

new_handler get_new_handler() noexcept {
  return installed_new_handler;
}

void __throw_bad_alloc() {
  std::abort();
}
void __throw_bad_array_new_length() {
  std::abort();
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
