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

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx

namespace std {

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
