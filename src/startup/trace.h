// The progress trace: every module reports its progress lines here. Kept
// apart from the start-up globals, so that a module that only traces does
// not see them.
#pragma once

#include "platform/text.h"

namespace MMain {

// Receives a progress line. Writes nothing unless a sink is installed: the
// diagnostic build installs the platform's debug output, tests their recorder.
void Trace(const Text& text);
// True when a sink is installed. Callers that build a trace text (numbers
// joined to a prefix) build it only then: without a sink, tracing allocates
// nothing, and so cannot fail for lack of memory.
bool Tracing();
using TraceSink = void (*)(const Text& text);
void SetTraceSink(TraceSink sink);

}  // namespace MMain
