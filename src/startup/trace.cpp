// The progress trace and its sink.
#include "startup/trace.h"

#include "platform/platform.h"

namespace MMain {
namespace {

#if defined(VELTRIN_TRACE)
void DebugSink(const Text& text) {
  platform::Os().DebugOutput(text);
}
TraceSink g_trace_sink = &DebugSink;
#else
TraceSink g_trace_sink = nullptr;
#endif

}  // namespace

void Trace(const Text& text) {
  if (g_trace_sink)
    g_trace_sink(text);
}

bool Tracing() {
  return g_trace_sink != nullptr;
}

void SetTraceSink(TraceSink sink) {
  g_trace_sink = sink;
}

}  // namespace MMain
