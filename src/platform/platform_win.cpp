// The Win32 binding of the platform interface. Only the wide ("W") functions
// are called; every handle is owned by a win::Handle and closed within the
// call, except the single-instance mutex, which lives as long as the process.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <iterator>
#include <vector>

#include "platform/platform.h"
#include "platform/win_handle.h"
#include "platform/win_path.h"

namespace platform {
namespace {

using win::FindHandle;
using win::Handle;

// Named in the session's own namespace: one Veltrin per logged-on user.
constexpr wchar_t kSingleInstanceMutex[] = L"Local\\Veltrin.SingleInstance";
constexpr wchar_t kHiddenFormClass[] = L"VeltrinHiddenForm";
constexpr UINT_PTR kTimerId = 1;

// Big enough for any path the system can report, long paths included.
constexpr DWORD kLongPathChars = 32768;

// The classic path limit, terminating NUL included: longer paths reach the
// file functions only in the extended-length form.
constexpr size_t kClassicPathChars = MAX_PATH;

// The copy's buffer, in the image's zero-filled data: no allocation, and no
// bytes in the file. 1 MiB makes a 200 MB copy 200 read and write pairs, so
// the calls' own cost is small against the disk's, and the system's cache
// gets large sequential writes; a larger one would only hold more memory.
// It is too large for the stack (1 MiB in all), and one thread copies.
constexpr DWORD kCopyBufferBytes = 1 << 20;
alignas(4096) char g_copy_buffer[kCopyBufferBytes];

// The module list asked for when looking up a process's image: the first
// entry is the executable, so a short list is enough.
constexpr DWORD kModuleListBytes = 200;

// The part of `command_line` after the program's name and the blanks that
// follow it, split the way the system splits it for WinMain: a name starting
// with a double quote runs to the next double quote (inclusive), any other
// name to the first blank or control character.
const wchar_t* SkipProgramName(const wchar_t* command_line) {
  const wchar_t* p = command_line;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"')
      ++p;
    if (*p == L'"')
      ++p;
  } else {
    while (*p > L' ')
      ++p;
  }
  while (*p != L'\0' && *p <= L' ')
    ++p;
  return p;
}

Text ModuleImagePath(HANDLE process) {
  HMODULE modules[kModuleListBytes / sizeof(HMODULE)] = {};
  DWORD needed = 0;
  if (!K32EnumProcessModules(process, modules, kModuleListBytes, &needed) || needed == 0)
    return Text();
  std::vector<wchar_t> buffer(kLongPathChars);
  const DWORD written = K32GetModuleFileNameExW(process, modules[0], buffer.data(), kLongPathChars);
  return Text(buffer.data(), written);
}

Text QueriedImagePath(uint32_t pid) {
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process)
    return Text();
  std::vector<wchar_t> buffer(kLongPathChars);
  DWORD size = kLongPathChars;
  if (!QueryFullProcessImageNameW(process.Get(), 0, buffer.data(), &size))
    return Text();
  return Text(buffer.data(), size);
}

// The rooms the file operations form their paths in (win_path.h): static,
// so that no file operation allocates; one thread, and no operation calls
// another.
win::PathRoom g_rooms[4];

// Copies `text` (NUL-terminated) and then `tail` into `room`; false when
// they do not fit.
bool Compose(win::PathRoom& room, const wchar_t* text, const wchar_t* tail) {
  const size_t length = wcslen(text);
  const size_t tail_length = wcslen(tail);
  if (length + tail_length >= win::PathRoom::kChars)
    return false;
  wmemcpy(room.chars, text, length);
  wmemcpy(room.chars + length, tail, tail_length + 1);
  return true;
}

// Sets or clears the delete-on-close mark of `file`, opened with DELETE.
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Renames `file`, opened with DELETE, to `target` (a full path in the same
// folder); fails rather than replace a file already there.
bool RenameOpenFile(HANDLE file, const wchar_t* target) {
  // FILE_RENAME_INFO ends in the name's first character; the rest follows.
  alignas(FILE_RENAME_INFO) static unsigned char
      buffer[sizeof(FILE_RENAME_INFO) + sizeof(win::PathRoom)];
  const size_t length = wcslen(target);
  if (length >= win::PathRoom::kChars)
    return false;
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = DWORD(length * sizeof(wchar_t));
  wmemcpy(rename->FileName, target, length + 1);
  return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    DWORD(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) !=
         0;
}

// A name beside `full_path`, in its folder, for the file on its way out:
// its own name, this process's id and a try number. Formed in `scratch`,
// returned in the file functions' form (in `room` where that differs);
// nullptr when it does not fit.
const wchar_t* AsideName(const wchar_t* full_path,
                         unsigned attempt,
                         win::PathRoom& scratch,
                         win::PathRoom& room) {
  wchar_t suffix[40];
  wsprintfW(suffix, L".%lx-%x.deleted", GetCurrentProcessId(), attempt);
  if (!Compose(scratch, full_path, suffix))
    return nullptr;
  return win::ExtendedLengthPath(scratch.chars, room);
}

// Copies everything from `source` to `dest`, both at their start.
bool CopyBytes(HANDLE source, HANDLE dest) {
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, g_copy_buffer, kCopyBufferBytes, &read, nullptr))
      return false;
    if (read == 0)
      return true;
    DWORD written = 0;
    if (!WriteFile(dest, g_copy_buffer, read, &written, nullptr) || written != read)
      return false;
  }
}

class Win32Platform final : public Platform {
 public:
  Text ArgumentText() override { return Text(SkipProgramName(GetCommandLineW())); }

  bool ClaimSingleInstance() override {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutex);
    const bool already_exists = GetLastError() == ERROR_ALREADY_EXISTS;
    // Kept open (never closed) while this process lives, even when another
    // instance created it first: the name stays claimed as long as any
    // instance is still running.
    single_instance_.Reset(mutex);
    return mutex != nullptr && !already_exists;
  }

  Text OwnExecutableDirectory() override {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
      if (length == 0)
        return Text();
      if (length < buffer.size()) {
        Text path(buffer.data(), length);
        const auto slash = path.find_last_of(L'\\');
        return slash == Text::npos ? Text() : path.substr(0, slash);
      }
      // Truncated: the path did not fit, try again with twice the room.
      if (buffer.size() >= kLongPathChars)
        return Text();
      buffer.resize(buffer.size() * 2);
    }
  }

  bool StartProgram(const Text& path) override {
    // The executable is named explicitly, so the system never searches for it
    // and never runs a file named like the part of the path before a blank.
    // The quoted command line is assembled in a fixed buffer (the system
    // takes no longer one): a rollback restarts the product without
    // allocating, also when memory has run out. One thread, one start at a
    // time.
    static wchar_t command[kLongPathChars];
    if (path.size() + 3 > kLongPathChars)
      return false;
    command[0] = L'"';
    path.copy(command + 1, path.size());
    command[path.size() + 1] = L'"';
    command[path.size() + 2] = L'\0';
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(path.c_str(), command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
      return false;
    // Not waited for: the program runs on after this one has ended.
    Handle thread(started.hThread);
    Handle process(started.hProcess);
    return true;
  }

  void DebugOutput(const Text& line) override { OutputDebugStringW(line.c_str()); }

  Text FirstFileMatch(const Text& pattern) override {
    // A folder stands for every entry in it.
    const bool folder = !pattern.empty() && pattern.back() == L'\\';
    if (!Compose(g_rooms[1], pattern.c_str(), folder ? L"*" : L""))
      return Text();
    WIN32_FIND_DATAW found = {};
    FindHandle find(FindFirstFileW(win::ExtendedLengthPath(g_rooms[1].chars, g_rooms[0]), &found));
    if (!find)
      return Text();
    constexpr DWORD kSkipped =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    do {
      if ((found.dwFileAttributes & kSkipped) == 0)
        return Text(found.cFileName);
    } while (FindNextFileW(find.Get(), &found));
    return Text();
  }

  std::optional<uint32_t> GetAttributes(const Text& path) override {
    const DWORD attributes = GetFileAttributesW(win::ExtendedLengthPath(path.c_str(), g_rooms[0]));
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return std::nullopt;
    return attributes;
  }

  bool SetAttributes(const Text& path, uint32_t attributes) override {
    return SetFileAttributesW(win::ExtendedLengthPath(path.c_str(), g_rooms[0]), attributes) != 0;
  }

  bool DeleteOneFile(const Text& path) override {
    return DeleteFileW(win::ExtendedLengthPath(path.c_str(), g_rooms[0])) != 0;
  }

  bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) override {
    const wchar_t* const source_path = win::ExtendedLengthPath(from.c_str(), g_rooms[0]);
    const wchar_t* const dest_path = win::ExtendedLengthPath(to.c_str(), g_rooms[1]);
    // Others may go on reading the source, and deleting it, but not writing
    // to it while it is copied.
    Handle source(CreateFileW(source_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
      return false;
    if (!fail_if_exists) {
      // A read-only or hidden file is never replaced, whoever runs this: a
      // superuser's write goes through a read-only bit on some systems.
      const DWORD existing = GetFileAttributesW(dest_path);
      if (existing != INVALID_FILE_ATTRIBUTES &&
          (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
      }
    }
    // Nobody else opens the copy until it is whole and on disk, so a
    // scanner never reads half of it. A replaced file loses its attributes
    // and takes the plain ones; a system or hidden one refuses. DELETE
    // lets a failed copy remove what it created on this very handle.
    Handle dest(CreateFileW(dest_path, GENERIC_WRITE | DELETE, 0, nullptr,
                            fail_if_exists ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!dest)
      return false;
    const bool created = fail_if_exists || GetLastError() != ERROR_ALREADY_EXISTS;
    // Only the bytes and the last-write time come along: no other stream
    // (a download's mark of origin stays with the download) and no
    // attribute. The time is set after the last write, which would
    // change it, and the flush writes it with the bytes.
    FILETIME last_write = {};
    const bool copied = CopyBytes(source.Get(), dest.Get()) &&
                        GetFileTime(source.Get(), nullptr, nullptr, &last_write) &&
                        SetFileTime(dest.Get(), nullptr, nullptr, &last_write) &&
                        FlushFileBuffers(dest.Get());
    if (!copied && created) {
      // Gone when the handle closes, as a failed system copy leaves nothing.
      MarkForDeletion(dest.Get(), true);
    }
    return copied;
  }

  bool DeleteUnsharedFile(const Text& path) override {
    // Opened for deletion with no sharing at all: while any other handle
    // that reads, writes or deletes is open, whatever sharing it allows, the
    // open fails and the file is left alone. A link is deleted itself, as
    // DeleteFileW does, not what it points to. The full path names the
    // folder the file moves aside in.
    win::PathRoom& full_room = g_rooms[2];
    const DWORD length =
        GetFullPathNameW(path.c_str(), win::PathRoom::kChars, full_room.chars, nullptr);
    if (length == 0 || length >= win::PathRoom::kChars)
      return false;
    const wchar_t* const full = full_room.chars;
    const wchar_t* const target = win::ExtendedLengthPath(full, g_rooms[0]);
    Handle file(CreateFileW(target, DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    if (!file)
      return false;
    // A handle that only reads attributes, or waits on the file, conflicts
    // with no sharing mode (scanners, indexers and backup agents hold such
    // handles), and a marked file keeps its name until the last handle
    // closes: the name would stay taken, and the file vanish later. So the
    // file moves aside under a name of its own before it is marked, and the
    // name is free when this returns, whoever still holds the file.
    //
    // Marked once first: a file that cannot be deleted (a running program's
    // image, a read-only file) refuses here and is never moved.
    if (!MarkForDeletion(file.Get(), true))
      return false;
    // The mark comes off for the move (a file pending deletion may refuse
    // to be renamed) and goes back on after it. Should it not come off,
    // the file goes at the close all the same, but its name may stay taken
    // meanwhile: that is reported as a failure.
    if (!MarkForDeletion(file.Get(), false))
      return false;
    // A name left by an earlier run whose holder still has it is skipped.
    bool moved = false;
    for (unsigned attempt = 0; attempt < 16 && !moved; ++attempt) {
      const wchar_t* const aside = AsideName(full, attempt, g_rooms[1], g_rooms[3]);
      if (!aside)
        break;
      moved = RenameOpenFile(file.Get(), aside);
      if (!moved && GetLastError() != ERROR_ALREADY_EXISTS)
        break;
    }
    if (!moved)
      return false;  // still whole, under its own name
    if (MarkForDeletion(file.Get(), true))
      return true;  // gone at the close below, or when the last holder lets go
    // Not deleted after all: the file goes back to its name, whole.
    RenameOpenFile(file.Get(), target);
    return false;
  }

  std::vector<ProcessEntry> SnapshotProcesses(uint32_t flags) override {
    std::vector<ProcessEntry> entries;
    Handle snapshot(CreateToolhelp32Snapshot(flags, 0));
    if (!snapshot)
      return entries;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
      // The whole field, NUL and all: the caller decides where the name ends.
      entries.push_back({entry.th32ProcessID, Text(entry.szExeFile, MAX_PATH)});
    }
    return entries;
  }

  uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }

  std::optional<uint32_t> ProcessSessionId(uint32_t pid) override {
    DWORD session = 0;
    if (!ProcessIdToSessionId(pid, &session))
      return std::nullopt;
    return session;
  }

  Text ProcessImagePath(uint32_t pid, uint32_t access) override {
    {
      Handle process(OpenProcess(access, FALSE, pid));
      if (process) {
        Text path = ModuleImagePath(process.Get());
        if (!path.empty())
          return path;
      }
    }
    // The module list is out of reach for a 32-bit caller looking at a 64-bit
    // process, and the access asked for is refused for an elevated one; the
    // limited query needs neither.
    return QueriedImagePath(pid);
  }

  TerminateOutcome TerminateProcessById(uint32_t pid,
                                        uint32_t access,
                                        uint32_t exit_code) override {
    Handle process(OpenProcess(access, FALSE, pid));
    if (!process)
      return TerminateOutcome::kOpenFailed;
    return TerminateProcess(process.Get(), exit_code) ? TerminateOutcome::kTerminated
                                                      : TerminateOutcome::kTerminateFailed;
  }

  void EnableDebugPrivilege() override {
    HANDLE raw_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw_token))
      return;
    Handle token(raw_token);
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // On failure the LUID stays zero and the adjustment below simply fails;
    // neither outcome changes what the caller does next.
    LookupPrivilegeValueW(L"", L"SeDebugPrivilege", &wanted.Privileges[0].Luid);
    TOKEN_PRIVILEGES previous = {};
    DWORD previous_length = 0;
    AdjustTokenPrivileges(token.Get(), FALSE, &wanted, sizeof wanted, &previous, &previous_length);
  }

  Text ToLower(const Text& s) override {
    Text lower = s;
    if (!lower.empty())
      CharLowerBuffW(lower.data(), DWORD(lower.size()));
    return lower;
  }

  void ShowErrorBox(const Text& caption, const Text& text) override {
    // Top-most: a windowless program that starts after the product has
    // exited can seldom take the foreground, and a box behind other windows
    // may go unseen for hours.
    MessageBoxW(nullptr, text.c_str(), caption.c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
  }

  bool RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) override {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW form_class = {};
    form_class.lpfnWndProc = &Win32Platform::FormProc;
    form_class.hInstance = instance;
    form_class.lpszClassName = kHiddenFormClass;
    if (!RegisterClassW(&form_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      return false;
    on_tick_ = on_tick;
    // An ordinary top-level window that is never shown: no WS_VISIBLE and no
    // ShowWindow call, so it appears neither on screen nor in the taskbar.
    form_ = CreateWindowExW(0, kHiddenFormClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                            nullptr);
    if (!form_) {
      on_tick_ = nullptr;
      return false;
    }
    if (!SetTimer(form_, kTimerId, interval_ms, nullptr)) {
      DestroyWindow(form_);
      form_ = nullptr;
      on_tick_ = nullptr;
      return false;
    }
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    on_tick_ = nullptr;
    // Zero: the quit message that StopTimer posted; -1: the loop itself failed.
    return got == 0;
  }

  void StopTimer() override {
    if (!form_)
      return;
    KillTimer(form_, kTimerId);
    DestroyWindow(form_);
    form_ = nullptr;
    PostQuitMessage(0);
  }

  [[noreturn]] void EndProcess(int code) override { ExitProcess(UINT(code)); }

 private:
  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // Ticks go to the caller even inside a nested message loop (a modal box
    // opened by a tick); the caller guards against re-entry itself.
    if (message == WM_TIMER && wparam == kTimerId && window == form_ && on_tick_) {
      on_tick_();
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  static inline HWND form_ = nullptr;
  static inline void (*on_tick_)() = nullptr;
  Handle single_instance_;
};

}  // namespace

namespace win {

const wchar_t* ExtendedLengthPath(const wchar_t* path, PathRoom& room) {
  if (wcslen(path) < kClassicPathChars || wcsncmp(path, L"\\\\?\\", 4) == 0 ||
      wcsncmp(path, L"\\\\.\\", 4) == 0)
    return path;
  // Normalised into the room after space for the longest prefix, which is
  // then written just before it.
  constexpr size_t kPrefixRoom = 8;
  wchar_t* const full = room.chars + kPrefixRoom;
  const DWORD length = GetFullPathNameW(path, DWORD(PathRoom::kChars - kPrefixRoom), full, nullptr);
  if (length == 0 || length >= PathRoom::kChars - kPrefixRoom)
    return path;
  if (full[0] == L'\\' && full[1] == L'\\') {
    // "\\server\share\..." becomes "\\?\UNC\server\share\...".
    constexpr wchar_t kUnc[] = L"\\\\?\\UNC";
    wchar_t* const start = full + 1 - (std::size(kUnc) - 1);
    wmemcpy(start, kUnc, std::size(kUnc) - 1);
    return start;
  }
  if (length >= 3 && full[1] == L':' && full[2] == L'\\') {
    constexpr wchar_t kDrive[] = L"\\\\?\\";
    wchar_t* const start = full - (std::size(kDrive) - 1);
    wmemcpy(start, kDrive, std::size(kDrive) - 1);
    return start;
  }
  return path;
}

}  // namespace win

Platform& Native() {
  static Win32Platform binding;
  return binding;
}

}  // namespace platform
