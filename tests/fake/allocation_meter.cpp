// The unit-test program's global operator new: counts the allocations the
// program under test makes while the meter is armed, and fails the one
// asked for as the system would, through the new-handler if one is
// installed, else with std::bad_alloc.
#include <cstdlib>
#include <new>

#include "fake/fake_platform.h"

void* operator new(std::size_t size) {
  fake::AllocationMeter& meter = fake::meter;
  if (meter.armed && meter.paused == 0) {
    ++meter.count;
    if (meter.unsettled)
      ++meter.unsettled_count;
    if (meter.count == meter.fail_at) {
      if (const std::new_handler handler = std::get_new_handler())
        handler();
      throw std::bad_alloc();
    }
  }
  if (void* block = std::malloc(size != 0 ? size : 1))
    return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
