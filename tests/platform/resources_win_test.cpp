// The resources built into Veltrin.exe, read back the way Windows Explorer
// and the loader read them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support_win_test.h"

namespace {

using wintest::Utf8;

class VeltrinResources : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = wintest::VeltrinExe();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe_.c_str(), &ignored);
    ASSERT_GT(size, 0u) << Utf8(exe_) << " error " << GetLastError();
    version_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe_.c_str(), 0, size, version_.data()));
  }

  // The string `name` of the block "080404B0"; "<missing>" if absent.
  std::wstring VersionString(const std::wstring& name) {
    const std::wstring key = L"\\StringFileInfo\\080404B0\\" + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(version_.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        !value)
      return L"<missing>";
    // The length counts the terminating NUL when there is one.
    std::wstring text(value, length);
    if (!text.empty() && text.back() == L'\0')
      text.pop_back();
    return text;
  }

  std::wstring exe_;
  std::vector<BYTE> version_;
};

TEST_F(VeltrinResources, FixedVersionsAreOnePointZero) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(version_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000000u);  // .0.0
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);
}

TEST_F(VeltrinResources, StringsAreInTheSimplifiedChineseUnicodeBlock) {
  EXPECT_EQ(VersionString(L"FileVersion"), L"1.00");
  EXPECT_EQ(VersionString(L"ProductVersion"), L"1.00");
  // "Lumora" and its Chinese name for the update helper.
  EXPECT_EQ(VersionString(L"ProductName"), L"Lumora\x5b89\x88c5\x8f85\x52a9\x7a0b\x5e8f");
  EXPECT_EQ(VersionString(L"InternalName"), L"Veltrin");
  EXPECT_EQ(VersionString(L"OriginalFilename"), L"Veltrin.exe");
}

TEST_F(VeltrinResources, TranslationIsSimplifiedChineseInUnicode) {
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(version_.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 2 * sizeof(WORD));
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 1200);
}

// The manifest's text, from the executable's resource 1 of type RT_MANIFEST.
std::string ManifestText(const std::wstring& exe) {
  const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!image)
    return "<no image>";
  std::string text = "<no manifest>";
  if (const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    const HGLOBAL loaded = LoadResource(image, found);
    text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, found));
  }
  FreeLibrary(image);
  return text;
}

TEST_F(VeltrinResources, ManifestRunsAsInvokerFromWindows7OnDpiAwareWithThemedControls) {
  const std::string manifest = ManifestText(exe_);
  for (const char* expected : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                               "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
                               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
                               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
                               "WindowsSettings\">true</dpiAware>",
                               "WindowsSettings\">PerMonitorV2, System</dpiAwareness>",
                               "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                               "processorArchitecture=\"*\""}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected << "\n" << manifest;
  }
  // Windows 7 is the oldest the program supports, as the README says.
  EXPECT_EQ(manifest.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}"), std::string::npos)  // Vista
      << manifest;
}

TEST_F(VeltrinResources, ManifestIsAcceptedByTheLoader) {
  // The same activation context the loader builds when Veltrin starts: a
  // malformed manifest or an unresolvable dependency makes it fail.
  ACTCTXW context = {};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = exe_.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  const HANDLE created = CreateActCtxW(&context);
  ASSERT_NE(created, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  ReleaseActCtx(created);
}

// --- The executable's headers ---------------------------------------------------

// The headers and imported DLL names of a PE file built for the same processor
// as this test program (PE32 or PE32+), read from its bytes.
struct PeFacts {
  bool valid = false;
  IMAGE_FILE_HEADER file = {};
  IMAGE_OPTIONAL_HEADER optional = {};
  std::set<std::string> imports;  // upper-cased
};

PeFacts ReadPe(const std::string& bytes) {
  PeFacts facts;
  IMAGE_DOS_HEADER dos;
  if (bytes.size() < sizeof dos)
    return facts;
  std::memcpy(&dos, bytes.data(), sizeof dos);
  IMAGE_NT_HEADERS nt;
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || size_t(dos.e_lfanew) + sizeof nt > bytes.size())
    return facts;
  std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof nt);
  if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
    return facts;
  facts.file = nt.FileHeader;
  facts.optional = nt.OptionalHeader;

  const size_t sections_at = size_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                             nt.FileHeader.SizeOfOptionalHeader;
  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  if (sections_at + sections.size() * sizeof(IMAGE_SECTION_HEADER) > bytes.size())
    return facts;
  std::memcpy(sections.data(), bytes.data() + sections_at,
              sections.size() * sizeof(IMAGE_SECTION_HEADER));
  // File offset of a relative virtual address; 0 when no section holds it.
  const auto offset_of = [&](DWORD rva) -> size_t {
    for (const auto& section : sections) {
      if (rva >= section.VirtualAddress &&
          rva < section.VirtualAddress + std::max(section.Misc.VirtualSize, section.SizeOfRawData))
        return section.PointerToRawData + (rva - section.VirtualAddress);
    }
    return 0;
  };

  const DWORD imports_rva =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (size_t at = offset_of(imports_rva);
       at != 0 && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= bytes.size();
       at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, bytes.data() + at, sizeof descriptor);
    if (descriptor.Name == 0)
      break;
    const size_t name_at = offset_of(descriptor.Name);
    if (name_at == 0 || name_at >= bytes.size())
      return facts;
    std::string name(bytes.c_str() + name_at);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
    facts.imports.insert(name);
  }
  facts.valid = true;
  return facts;
}

TEST(VeltrinExecutable, IsAWindowlessSelfContainedReproducibleProgram) {
  const PeFacts pe = ReadPe(wintest::ReadBytes(wintest::VeltrinExe()));
  ASSERT_TRUE(pe.valid);
#ifdef _WIN64
  EXPECT_EQ(pe.file.Machine, IMAGE_FILE_MACHINE_AMD64);
#else
  EXPECT_EQ(pe.file.Machine, IMAGE_FILE_MACHINE_I386);
#endif
  // A GUI program: starting it opens no console window.
  EXPECT_EQ(pe.optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  // No build time inside, so that equal sources give equal bytes.
  EXPECT_EQ(pe.file.TimeDateStamp, 0u);
  EXPECT_NE(pe.optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, 0);
  EXPECT_NE(pe.optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, 0);
  // Only DLLs every Windows has: the compiler's runtime is linked in.
  EXPECT_EQ(pe.imports,
            (std::set<std::string>{"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"}));
}

}  // namespace
