// Fuzzes MMain::Unquote, which turns one piece of the command line into a
// path.
//
// Properties:
//  - The result is written back into the argument and is a substring of the
//    input: the input without its outer spaces, or that without one
//    enclosing pair of quotes (a lone quote stays).
//  - Outer spaces survive only inside an enclosing pair of quotes.
//  - Unquoting a result that has no enclosing quote pair and no outer spaces
//    changes nothing; quoting any text and padding it with spaces is undone.
#include "fuzz_check.h"
#include "startup/mmain.h"

namespace {

using fuzz::Contains;

bool HasOuterSpace(const Text& s) {
  return !s.empty() && (s.front() == Char(' ') || s.back() == Char(' '));
}

bool IsQuotePair(const Text& s) {
  return s.size() >= 2 && s.front() == Char('"') && s.back() == Char('"');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Text input = fuzz::ToText(data, size);

  Text s = input;
  const Text result = MMain::Unquote(s);
  FUZZ_CHECK(s == result);
  FUZZ_CHECK(Contains(input, result));

  const Text trimmed = TrimSpaces(input);
  if (IsQuotePair(trimmed)) {
    FUZZ_CHECK(result.size() + 2 == trimmed.size());
    FUZZ_CHECK(VT("\"") + result + VT("\"") == trimmed);
  } else {
    FUZZ_CHECK(result == trimmed);
  }
  if (HasOuterSpace(result))
    FUZZ_CHECK(IsQuotePair(trimmed));
  if (trimmed == VT("\""))
    FUZZ_CHECK(result == VT("\""));

  // Idempotence where it must hold.
  if (!IsQuotePair(result) && !HasOuterSpace(result)) {
    Text again = result;
    FUZZ_CHECK(MMain::Unquote(again) == result);
  }

  // Quoting undoes: any text, quoted and padded, unquotes to itself.
  Text quoted = VT("  \"") + input + VT("\" ");
  FUZZ_CHECK(MMain::Unquote(quoted) == input);
  return 0;
}
