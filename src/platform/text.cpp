// Small text helpers shared by every module.
#include "platform/text.h"

Text Decimal(long long value) {
  // Written out by hand: the C library's formatted output would bring tens
  // of kilobytes into a program that only ever prints integers.
  Char digits[24];
  Char* end = digits + sizeof digits / sizeof digits[0];
  Char* first = end;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  do {
    *--first = Char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0)
    *--first = Char('-');
  return Text(first, end);
}

Text TrimSpaces(TextView s) {
  const auto first = s.find_first_not_of(Char(' '));
  if (first == TextView::npos)
    return Text();
  const auto last = s.find_last_not_of(Char(' '));
  return Text(s.substr(first, last - first + 1));
}
