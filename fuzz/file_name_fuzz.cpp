// Fuzzes MFile::GetFileName, which names the product's executable for the
// kill by name.
//
// Properties: the result is a suffix of the input holding no path separator,
// and the input is a prefix followed by the result where the prefix is empty
// (only when the input holds no separator) or ends with the separator.
#include "fileservices/mfile.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Text path = fuzz::ToText(data, size);
  const Text name = MFile::GetFileName(path);

  FUZZ_CHECK(fuzz::EndsWith(path, name));
  FUZZ_CHECK(name.find(kPathSeparator) == Text::npos);
  const Text prefix = path.substr(0, path.size() - name.size());
  FUZZ_CHECK(prefix + name == path);
  if (path.find(kPathSeparator) == Text::npos)
    FUZZ_CHECK(prefix.empty() && name == path);
  else
    FUZZ_CHECK(!prefix.empty() && prefix.back() == kPathSeparator);
  // Adding a folder in front changes nothing; adding a separator at the end
  // leaves no name.
  FUZZ_CHECK(MFile::GetFileName(Text(VT("dir")) + kPathSeparator + path) == name);
  FUZZ_CHECK(MFile::GetFileName(path + kPathSeparator).empty());
  return 0;
}
