// Form1: the hidden form whose timer, Timer1, drives the whole update. Each
// tick waits for the old program to exit (terminating it if it lingers), then
// backs up, replaces, starts and watches the new version in one tick, and
// rolls back with an error box on any failure. In the self-restart mode it
// deletes the product's component libraries and restarts the product.
#pragma once

#include <cstdint>

namespace Form1 {

// The form's timer control.
struct TimerControl {
  unsigned Interval = 0;
  bool Enabled = false;
};
extern TimerControl Timer1;

// Ticks since the form was loaded or since Step last changed.
extern int32_t Tick;
// 0 waiting for the old program to exit; 1 new version started, waiting to
// see it running; 2 new version seen running.
extern int32_t Step;

// Loads the form without showing it: builds every path and box text the
// swap and its rollbacks need, enables Timer1 (500 ms) and runs its ticks
// until Quit ends the process. Returns only if the hidden host cannot be
// created, or, elevated, at once when this program is signed and MainPath
// carries no valid signature of its publisher: nothing is done then.
void Load();

// One tick of the update.
void Timer1_Timer();

// Disables Timer1, unloads the form and ends the process at once.
[[noreturn]] void Quit();

// What the timer calls: runs Timer1_Timer unless the timer is disabled or a
// tick is still running. A tick waiting in a modal error box must not be
// overtaken by the next one, which would find Step still 0, begin the swap
// again and delete the backup - after a failed replacement the only copy of
// the old program. An error the tick raises outside the stretches that
// ignore errors ends the process; once the swap has begun, only after the
// rollback of the stage it had reached.
void OnTimer1();

// Back to the state before Load (tests).
void Reset();

}  // namespace Form1
