// Small text helpers shared by every module.
#include "platform/text.h"

Text Decimal(long long value) {
#if defined(_WIN32)
  return std::to_wstring(value);
#else
  return std::to_string(value);
#endif
}

Text TrimSpaces(TextView s) {
  const auto first = s.find_first_not_of(Char(' '));
  if (first == TextView::npos)
    return Text();
  const auto last = s.find_last_not_of(Char(' '));
  return Text(s.substr(first, last - first + 1));
}
