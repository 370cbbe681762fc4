// The Win32 binding: what only an elevated Veltrin does. Whether the token
// is elevated, this program's own signature and the installed program's
// held against it, the download's held against the reference, and the
// product started as the desktop's user: with the shell's token, or by the
// desktop's shell itself.
//
// Every function this needs beyond what the binding imports anyway is
// looked up at run time: the trust services' DLLs by their full path in the
// system folder (a Windows 7 without the update that restricts the DLL
// search would take them from the program's folder first), and the
// functions of already loaded modules by name. So the unelevated program
// loads nothing new and its import table is that of a program without them.
#include "platform/win_elevation.h"

#include <windows.h>

#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shobjidl.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>
#include <optional>

#include "platform/win_handle.h"
#include "platform/win_path.h"

namespace platform::win {
namespace {

// The function `name` of the module `module`, as the type it is called
// through; nullptr when it has none.
template <typename Function>
Function* Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// `name` in the already loaded module `module`; nullptr when either is
// missing.
template <typename Function>
Function* Resolve(const wchar_t* module, const char* name) {
  const HMODULE loaded = GetModuleHandleW(module);
  return loaded ? Find<Function>(loaded, name) : nullptr;
}

// The system folder's DLL `name`, loaded by its full path; its own
// dependencies are looked for in that folder first.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  using GetSystemDirectoryFn = UINT WINAPI(LPWSTR, UINT);
  using LoadLibraryExFn = HMODULE WINAPI(LPCWSTR, HANDLE, DWORD);
  auto* const system_directory =
      Resolve<GetSystemDirectoryFn>(L"kernel32.dll", "GetSystemDirectoryW");
  auto* const load = Resolve<LoadLibraryExFn>(L"kernel32.dll", "LoadLibraryExW");
  if (!system_directory || !load)
    return nullptr;
  wchar_t path[MAX_PATH + 32];
  const UINT length = system_directory(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return nullptr;
  path[length] = L'\\';
  wchar_t* tail = path + length + 1;
  while ((*tail++ = *name++) != L'\0') {
  }
  return load(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The trust services: three functions of wintrust.dll.
struct TrustServices {
  using VerifyFn = LONG WINAPI(HWND, GUID*, LPVOID);
  using ProviderDataFn = CRYPT_PROVIDER_DATA* WINAPI(HANDLE);
  using SignerFn = CRYPT_PROVIDER_SGNR* WINAPI(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
  VerifyFn* verify = nullptr;
  ProviderDataFn* provider_data = nullptr;
  SignerFn* signer = nullptr;

  bool Load() {
    if (verify)
      return true;
    const HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    if (!wintrust)
      return false;
    provider_data = Find<ProviderDataFn>(wintrust, "WTHelperProvDataFromStateData");
    signer = Find<SignerFn>(wintrust, "WTHelperGetProvSignerFromChain");
    verify = Find<VerifyFn>(wintrust, "WinVerifyTrust");
    return verify && provider_data && signer;
  }
};
TrustServices g_trust;

// A signer's certificate subject, as its encoded bytes: the publisher.
struct Publisher {
  static constexpr DWORD kMaxBytes = 1024;
  BYTE bytes[kMaxBytes];
  DWORD size = 0;

  bool SameAs(const Publisher& other) const {
    if (size != other.size)
      return false;
    for (DWORD i = 0; i < size; ++i) {
      if (bytes[i] != other.bytes[i])
        return false;
    }
    return true;
  }
};

// Verifies the signature of the file at `path` through `file` without any
// network access, and reads its signer's subject into `publisher`. False
// when its signature or chain does not verify here, or the signer cannot be
// read.
bool VerifiedPublisher(const wchar_t* path, HANDLE file, Publisher& publisher) {
  WINTRUST_FILE_INFO file_info = {};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = path;
  file_info.hFile = file;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  bool verified = g_trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == 0;
  if (verified) {
    verified = false;
    CRYPT_PROVIDER_DATA* const provider = g_trust.provider_data(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* const signer = provider ? g_trust.signer(provider, 0, FALSE, 0) : nullptr;
    if (signer && signer->csCertChain > 0 && signer->pasCertChain &&
        signer->pasCertChain[0].pCert && signer->pasCertChain[0].pCert->pCertInfo) {
      const CERT_NAME_BLOB& subject = signer->pasCertChain[0].pCert->pCertInfo->Subject;
      if (subject.cbData > 0 && subject.cbData <= Publisher::kMaxBytes) {
        std::memcpy(publisher.bytes, subject.pbData, subject.cbData);
        publisher.size = subject.cbData;
        verified = true;
      }
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  g_trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return verified;
}

// Moves `file`'s file pointer back to its start.
bool Rewind(HANDLE file) {
  using SetFilePointerExFn = BOOL WINAPI(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);
  auto* const seek = Resolve<SetFilePointerExFn>(L"kernel32.dll", "SetFilePointerEx");
  LARGE_INTEGER start = {};
  return seek && seek(file, start, nullptr, FILE_BEGIN);
}

// Whether the image open on `file` has a certificate table, where an
// embedded signature lives: read from its own headers, not inferred from
// the trust services' answer, whose "no signature" also stands for a file
// they could not open or a signature they could not parse. nullopt where
// the headers cannot be read or are not an image's.
std::optional<bool> CarriesCertificateTable(HANDLE file) {
  static BYTE header[4096];
  DWORD read = 0;
  if (!Rewind(file) || !ReadFile(file, header, sizeof header, &read, nullptr))
    return std::nullopt;
  const auto word = [](DWORD at) { return DWORD(header[at]) | DWORD(header[at + 1]) << 8; };
  const auto dword = [&word](DWORD at) { return word(at) | word(at + 2) << 16; };
  if (read < 64 || word(0) != IMAGE_DOS_SIGNATURE)
    return std::nullopt;
  // The NT headers: a 4-byte signature, the 20-byte file header, then the
  // optional header, whose data directories begin further in for PE32+.
  const DWORD nt = dword(0x3C);
  constexpr DWORD kOptional = 24;
  if (nt > read || read - nt < kOptional + 2 || dword(nt) != IMAGE_NT_SIGNATURE)
    return std::nullopt;
  DWORD count_at = 0;
  DWORD directories_at = 0;
  switch (word(nt + kOptional)) {
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
      count_at = kOptional + 92;
      directories_at = kOptional + 96;
      break;
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
      count_at = kOptional + 108;
      directories_at = kOptional + 112;
      break;
    default:
      return std::nullopt;
  }
  const DWORD size_at = directories_at + 8 * IMAGE_DIRECTORY_ENTRY_SECURITY + 4;
  if (read - nt < size_at + 4)
    return std::nullopt;
  return dword(nt + count_at) > IMAGE_DIRECTORY_ENTRY_SECURITY && dword(nt + size_at) != 0;
}

// What the signature of one file came to.
enum class Signature {
  kNone,          // it carries none at all
  kVerified,      // it verifies here; its signer is the publisher read
  kUnverifiable,  // anything else: broken, untrusted, unreadable, no trust services
};

// Checks the signature of the file at `path` through `file`, its handle,
// and reads its signer into `publisher`.
Signature CheckSignature(const wchar_t* path, HANDLE file, Publisher& publisher) {
  const std::optional<bool> carries = file ? CarriesCertificateTable(file) : std::nullopt;
  if (!carries)
    return Signature::kUnverifiable;
  if (!*carries)
    return Signature::kNone;
  if (!g_trust.Load() || !Rewind(file) || !VerifiedPublisher(path, file, publisher))
    return Signature::kUnverifiable;
  return Signature::kVerified;
}

// The same for a file not held: opened sharing reading only for the check,
// so that nobody changes it meanwhile. One that cannot be opened (held
// elsewhere without sharing, say) cannot be verified.
Signature CheckFileSignature(const wchar_t* path, Publisher& publisher) {
  const Handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  return CheckSignature(path, file ? file.Get() : nullptr, publisher);
}

// This program's publisher, where its own signature verified.
Publisher g_own_publisher;
bool g_own_verified = false;

// The shell's automation: three functions of ole32.dll and two of
// oleaut32.dll.
struct ShellAutomation {
  using InitializeFn = HRESULT WINAPI(LPVOID, DWORD);
  using UninitializeFn = void WINAPI();
  using CreateFn = HRESULT WINAPI(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
  using AllocStringFn = BSTR WINAPI(const OLECHAR*);
  using FreeStringFn = void WINAPI(BSTR);
  InitializeFn* initialize = nullptr;
  UninitializeFn* uninitialize = nullptr;
  CreateFn* create = nullptr;
  AllocStringFn* alloc_string = nullptr;
  FreeStringFn* free_string = nullptr;

  bool Load() {
    if (free_string)
      return true;
    const HMODULE ole = LoadSystemLibrary(L"ole32.dll");
    const HMODULE automation = ole ? LoadSystemLibrary(L"oleaut32.dll") : nullptr;
    if (!automation)
      return false;
    initialize = Find<InitializeFn>(ole, "CoInitializeEx");
    uninitialize = Find<UninitializeFn>(ole, "CoUninitialize");
    create = Find<CreateFn>(ole, "CoCreateInstance");
    alloc_string = Find<AllocStringFn>(automation, "SysAllocString");
    if (!initialize || !uninitialize || !create || !alloc_string)
      return false;
    free_string = Find<FreeStringFn>(automation, "SysFreeString");
    return free_string != nullptr;
  }
};
ShellAutomation g_automation;

// The shell's window list, and the service that leads from a shell window
// to its browser.
constexpr CLSID kShellWindowsClass = {0x9ba05972,
                                      0xf6a8,
                                      0x11cf,
                                      {0xa4, 0x42, 0x00, 0xa0, 0xc9, 0x0a, 0x8f, 0x39}};
constexpr GUID kTopLevelBrowserService = {0x4c96be40,
                                          0x915c,
                                          0x11cf,
                                          {0x99, 0xd3, 0x00, 0xaa, 0x00, 0x4a, 0xe8, 0x37}};

// An interface pointer, released when its owner goes away.
template <typename Interface>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (pointer_)
      pointer_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // Where a call that hands out a reference writes it.
  Interface** Out() { return &pointer_; }
  void** OutVoid() { return reinterpret_cast<void**>(&pointer_); }

 private:
  Interface* pointer_ = nullptr;
};

// Asks the desktop's shell to start `path`: from the shell's window list
// to the desktop's window, its browser, the view it shows, that view's
// automation object, and its application object, whose ShellExecute runs
// in the shell's own process.
UserStartOutcome AskDesktopShell(const wchar_t* path) {
  ComRef<IShellWindows> windows;
  if (FAILED(g_automation.create(kShellWindowsClass, nullptr, CLSCTX_LOCAL_SERVER,
                                 __uuidof(IShellWindows), windows.OutVoid())))
    return UserStartOutcome::kNoShell;
  VARIANT desktop = {};
  desktop.vt = VT_I4;
  desktop.lVal = 0;  // CSIDL_DESKTOP
  VARIANT none = {};
  LONG window = 0;
  ComRef<IDispatch> found;
  ComRef<IServiceProvider> services;
  ComRef<IShellBrowser> browser;
  ComRef<IShellView> view;
  ComRef<IDispatch> background;
  ComRef<IShellFolderViewDual> folder_view;
  ComRef<IDispatch> application;
  ComRef<IShellDispatch2> shell;
  // S_FALSE, with nothing handed out, where no desktop window is listed.
  if (windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                            found.Out()) != S_OK ||
      !found)
    return UserStartOutcome::kNoShell;
  // A desktop shell that answers but leads to no application object
  // refuses the start.
  if (FAILED(found->QueryInterface(__uuidof(IServiceProvider), services.OutVoid())) ||
      FAILED(services->QueryService(kTopLevelBrowserService, __uuidof(IShellBrowser),
                                    browser.OutVoid())) ||
      FAILED(browser->QueryActiveShellView(view.Out())) || !view ||
      FAILED(view->GetItemObject(SVGIO_BACKGROUND, __uuidof(IDispatch), background.OutVoid())) ||
      FAILED(background->QueryInterface(__uuidof(IShellFolderViewDual), folder_view.OutVoid())) ||
      FAILED(folder_view->get_Application(application.Out())) || !application ||
      FAILED(application->QueryInterface(__uuidof(IShellDispatch2), shell.OutVoid())))
    return UserStartOutcome::kFailed;
  const BSTR file = g_automation.alloc_string(path);
  if (!file)
    return UserStartOutcome::kFailed;
  VARIANT show = {};
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  // No arguments, no folder, the default verb. A start the shell could not
  // make is S_FALSE, which is no failure code: only S_OK is a start.
  const HRESULT started = shell->ShellExecute(file, none, none, none, show);
  g_automation.free_string(file);
  return started == S_OK ? UserStartOutcome::kStarted : UserStartOutcome::kFailed;
}

// Whether `path` ends in ".exe", letter case ignored: the shell opens any
// other file with the program its type is associated with.
bool NamesAProgram(const wchar_t* path) {
  const size_t length = std::wcslen(path);
  if (length < 4)
    return false;
  const wchar_t* const extension = path + length - 4;
  return extension[0] == L'.' && (extension[1] | 0x20) == L'e' && (extension[2] | 0x20) == L'x' &&
         (extension[3] | 0x20) == L'e';
}

// The download held from its check on, and its path as it was asked for.
Handle g_held;
Text g_held_path;

}  // namespace

std::optional<bool> TokenIsElevated() {
  using GetTokenInformationFn = BOOL WINAPI(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
  auto* const query = Resolve<GetTokenInformationFn>(L"advapi32.dll", "GetTokenInformation");
  HANDLE raw_token = nullptr;
  if (!query || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token))
    return std::nullopt;
  const Handle token(raw_token);
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!query(token.Get(), TokenElevation, &elevation, sizeof elevation, &size))
    return std::nullopt;
  return elevation.TokenIsElevated != 0;
}

UserStartOutcome StartAsDesktopUser(const wchar_t* application, wchar_t* command_line) {
  using GetShellWindowFn = HWND WINAPI();
  using GetWindowThreadProcessIdFn = DWORD WINAPI(HWND, LPDWORD);
  using DuplicateTokenExFn = BOOL WINAPI(HANDLE, DWORD, LPSECURITY_ATTRIBUTES,
                                         SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE, PHANDLE);
  using CreateProcessWithTokenFn = BOOL WINAPI(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID,
                                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);
  auto* const shell_window = Resolve<GetShellWindowFn>(L"user32.dll", "GetShellWindow");
  auto* const window_process =
      Resolve<GetWindowThreadProcessIdFn>(L"user32.dll", "GetWindowThreadProcessId");
  auto* const duplicate = Resolve<DuplicateTokenExFn>(L"advapi32.dll", "DuplicateTokenEx");
  auto* const create =
      Resolve<CreateProcessWithTokenFn>(L"advapi32.dll", "CreateProcessWithTokenW");
  const HWND shell = shell_window ? shell_window() : nullptr;
  if (!shell)
    return UserStartOutcome::kNoShell;
  DWORD shell_pid = 0;
  if (!window_process || !duplicate || !create || !window_process(shell, &shell_pid) ||
      shell_pid == 0)
    return UserStartOutcome::kNoShellToken;
  const Handle shell_process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shell_pid));
  HANDLE raw_shell_token = nullptr;
  if (!shell_process || !OpenProcessToken(shell_process.Get(), TOKEN_DUPLICATE, &raw_shell_token))
    return UserStartOutcome::kNoShellToken;
  const Handle shell_token(raw_shell_token);
  HANDLE raw_user_token = nullptr;
  constexpr DWORD kAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  if (!duplicate(shell_token.Get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary,
                 &raw_user_token))
    return UserStartOutcome::kNoShellToken;
  const Handle user_token(raw_user_token);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (!create(user_token.Get(), 0, application, command_line, 0, nullptr, nullptr, &startup,
              &started))
    return UserStartOutcome::kFailed;
  // Not waited for: the program runs on after this one has ended.
  const Handle thread(started.hThread);
  const Handle process(started.hProcess);
  return UserStartOutcome::kStarted;
}

UserStartOutcome StartThroughDesktopShell(const wchar_t* path) {
  if (!NamesAProgram(path))
    return UserStartOutcome::kFailed;
  if (!g_automation.Load())
    return UserStartOutcome::kNoShell;
  // A single-threaded apartment, as the thread that owns the hidden form
  // is: a tick that comes while a call waits for the shell finds the tick
  // before it still running and returns.
  const HRESULT initialized = g_automation.initialize(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(initialized) && initialized != RPC_E_CHANGED_MODE)
    return UserStartOutcome::kNoShell;
  const UserStartOutcome outcome = AskDesktopShell(path);
  if (SUCCEEDED(initialized))
    g_automation.uninitialize();
  return outcome;
}

PublisherCheck CheckOwn(const Text& installed) {
  static PathRoom own;
  static PathRoom room;
  const DWORD length = GetModuleFileNameW(nullptr, own.chars, PathRoom::kChars);
  if (length == 0 || length >= PathRoom::kChars)
    return PublisherCheck::kOwnUnverifiable;
  switch (CheckFileSignature(ExtendedLengthPath(own.chars, room), g_own_publisher)) {
    case Signature::kNone:
      return PublisherCheck::kOwnUnsigned;
    case Signature::kUnverifiable:
      return PublisherCheck::kOwnUnverifiable;
    case Signature::kVerified:
      break;
  }
  g_own_verified = true;
  static Publisher installed_by;
  const bool alike = CheckFileSignature(ExtendedLengthPath(installed.c_str(), room),
                                        installed_by) == Signature::kVerified &&
                     installed_by.SameAs(g_own_publisher);
  return alike ? PublisherCheck::kInstalledAlike : PublisherCheck::kInstalledNotAlike;
}

TrustOutcome HoldAndCheck(const Text& download, const Text& installed, TrustReference reference) {
  // Held sharing reading only: nobody writes, renames or deletes the file
  // from here until this program ends.
  static PathRoom room;
  g_held.Reset(CreateFileW(ExtendedLengthPath(download.c_str(), room), GENERIC_READ,
                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
  if (g_held)
    g_held_path = download;
  static Publisher installed_by;
  const Publisher* expected = &g_own_publisher;
  if (reference == TrustReference::kOwnPublisher) {
    if (!g_own_verified)
      return TrustOutcome::kRefused;
  } else {
    // Only a program without any signature leaves nothing to compare with.
    // One whose signature fails to verify may have been made to fail by
    // the user's own programs (held open without sharing, its certificate
    // distrusted in the user's store): that refuses.
    switch (CheckFileSignature(ExtendedLengthPath(installed.c_str(), room), installed_by)) {
      case Signature::kNone:
        return TrustOutcome::kNoReference;
      case Signature::kUnverifiable:
        return TrustOutcome::kUnverifiable;
      case Signature::kVerified:
        expected = &installed_by;
        break;
    }
  }
  if (!g_held)
    return TrustOutcome::kRefused;
  static Publisher download_by;
  const bool signed_alike = CheckSignature(ExtendedLengthPath(download.c_str(), room), g_held.Get(),
                                           download_by) == Signature::kVerified &&
                            download_by.SameAs(*expected);
  return signed_alike ? TrustOutcome::kTrusted : TrustOutcome::kRefused;
}

HANDLE HeldDownload(const Text& path) {
  if (!g_held || path != g_held_path)
    return nullptr;
  return Rewind(g_held.Get()) ? g_held.Get() : INVALID_HANDLE_VALUE;
}

}  // namespace platform::win
