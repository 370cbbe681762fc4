// The cost of one MProcesses::IsProcessRunning scan on the POSIX binding,
// with a number of extra processes (`sleep 300` children) running.
//
//   ScanAbsent/N         the product is not running and no process has its
//                        name: the name filter skips every entry
//   ScanAllCandidates/N  every child has the searched name but runs from
//                        another path: each child's image path is read
//
// The "processes" counter is the size of the snapshot the scan walked. The
// children are killed when the program ends, and by the kernel should it die
// (PR_SET_PDEATHSIG).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "processes/mprocesses.h"

namespace {

std::vector<pid_t> g_children;

pid_t StartSleeper() {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(1);  // the parent died before the line above took effect
    execlp("sleep", "sleep", "300", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) {
    std::perror("fork");
    std::exit(1);
  }
  return child;
}

void StopSleeper(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// Makes exactly `count` children run, and waits until each of them runs
// sleep (so that the snapshot sees its final name).
void KeepChildren(size_t count) {
  while (g_children.size() > count) {
    StopSleeper(g_children.back());
    g_children.pop_back();
  }
  while (g_children.size() < count)
    g_children.push_back(StartSleeper());
  for (const pid_t child : g_children) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/exe", int(child));
    char target[256];
    for (int tries = 0; tries < 2000; ++tries) {
      const ssize_t n = readlink(path, target, sizeof target - 1);
      if (n > 0) {
        target[n] = '\0';
        const std::string exe(target);
        if (exe.size() >= 6 && exe.compare(exe.size() - 6, 6, "/sleep") == 0)
          break;
      }
      usleep(1000);
    }
  }
}

void StopAllChildren() {
  KeepChildren(0);
}

void Scan(benchmark::State& state, const Text& path) {
  KeepChildren(size_t(state.range(0)));
  const size_t processes = platform::Os().SnapshotProcesses(platform::kSnapAll).size();
  for (auto _ : state) {
    const bool running = MProcesses::IsProcessRunning(path, MProcesses::AnySession);
    benchmark::DoNotOptimize(running);
    if (running)
      state.SkipWithError("the searched path runs");
  }
  state.counters["processes"] = double(processes);
  state.counters["extra"] = double(state.range(0));
}

void ScanAbsent(benchmark::State& state) {
  Scan(state, "/opt/Lumora-bench-absent/app");
}

void ScanAllCandidates(benchmark::State& state) {
  Scan(state, "/nonexistent-bench-folder/sleep");
}

BENCHMARK(ScanAbsent)->Arg(0)->Arg(50)->Arg(200)->Arg(800)->Unit(benchmark::kMicrosecond);
BENCHMARK(ScanAllCandidates)->Arg(0)->Arg(50)->Arg(200)->Arg(800)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  platform::SetOs(&platform::Native());
  std::atexit(StopAllChildren);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  StopAllChildren();
  return 0;
}
