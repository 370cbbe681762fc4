// MMain: where the process begins. Refuses a second instance, reads the two
// paths from the command line, settles the mode and loads the hidden form
// whose timer drives the update. Also `StartTarget`, which launches the
// product's main executable. The progress trace has its own header,
// startup/trace.h.
#pragma once

#include <vector>

#include "platform/text.h"

namespace MMain {

// Set once by Main, read by the sequencer afterwards.
extern Text MainPath;     // the product's installed main executable
extern Text NewPath;      // the downloaded replacement
extern Text BackupPath;   // empty until the sequencer sets MainPath + ".bak"
extern bool SelfRestart;  // NewPath equals MainPath, letter case included
// Running with an administrator's token, or unable to tell: the product is
// then started as the desktop's user, MainPath and the download must be
// signed by this program's publisher (or, where this program carries no
// signature, the download like MainPath), and only copies of the product in
// this session are terminated.
extern bool Elevated;

// The start-up routine. Returns without loading the form (and so ends the
// process) when another instance runs (elevated: another elevated instance
// for the same MainPath anywhere on the machine) or the command line does
// not name two paths; otherwise runs the hidden form until the update has
// ended.
void Main();

// Splits the argument text at "?" if it holds one, else at "!" if it holds
// one, else at single spaces. Empty pieces count; empty text gives none.
std::vector<Text> SplitArguments(const Text& cmd);

// Trims the spaces around `s` and strips one enclosing pair of double quotes.
// Writes the result back into `s` and returns it. A lone `"` stays as it is.
Text Unquote(Text& s);

// Starts exactly MainPath. True when the start request was accepted.
// Elevated, the product starts as the user whose desktop this is: with the
// shell's token, else through the desktop's shell itself; only where
// neither way starts it does it start with this program's administrator
// token. The trace says which way was taken and why the ways before it
// failed.
bool StartTarget();

// Puts the start-up globals back to their values at process start (tests).
void ResetGlobals();

}  // namespace MMain
