// The sequencer's constants and texts: the application title, the four error
// boxes and every progress line, as the product's users and support see them.
#pragma once

#include <array>
#include <cstdint>

#include "platform/text.h"

namespace Form1 {

inline const Text kTitle = VT("Lumora安装辅助程序");

inline constexpr unsigned kTimerIntervalMs = 500;
inline const Text kBackupSuffix = VT(".bak");
// The new executable is copied here, beside MainPath, and renamed onto it.
inline const Text kStagingSuffix = VT(".staging");
// A restore refused because another program holds the file (a scanner
// opens every freshly written executable for a moment) is tried again every
// 100 ms for 2 s in all; the copy is made once, and each try renames it.
inline constexpr unsigned kRestoreRetryMs = 100;
inline constexpr unsigned kRestoreRetryForMs = 2000;
// While the old program still runs: ticks 31 to 49 try to terminate it, tick
// 51 gives up.
inline constexpr int32_t kTerminateAfterTick = 30;
inline constexpr int32_t kTerminateBeforeTick = 50;
inline constexpr int32_t kGiveUpAfterTick = 50;
// After the start: the new program must be seen by tick 11, and only a
// sighting at least 500 ms after its start counts, by the clock, whenever
// the tick comes: a tick held up by a long swap comes at once after it.
inline constexpr int32_t kWatchLimitTick = 10;
inline constexpr uint64_t kSeenRunningAfterMs = 500;

inline const Text kLibraryFolder = VT("bin");
inline const std::array<Text, 6> kLibraries = {
    VT("Oxmere.dll"),  VT("Pilvane.dll"), VT("Quintor.dll"),
    VT("Rellisk.dll"), VT("Saffrel.dll"), VT("Tovrane.dll"),
};

// The error boxes: a first line, an empty line and a second line.
struct BoxText {
  Text first;
  Text second;
};
inline const BoxText kBoxBackupFailed = {VT("升级失败，无法备份主程序。"),
                                         VT("请稍候再尝试重新升级。")};
inline const BoxText kBoxReplaceFailed = {VT("升级失败，无法替换新版本的主程序。"),
                                          VT("请稍候再尝试重新升级。")};
inline const BoxText kBoxStartFailed = {VT("升级失败，无法启动新版本。"),
                                        VT("可能文件未正常下载，请稍后再次尝试升级。")};
inline const BoxText kBoxNotRunning = {
    VT("新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。"),
    VT("请稍后再次尝试升级。")};
inline const Text kBoxLineBreaks = VT("\r\n\r\n");

inline const Text kTraceUpdatingStart = VT("Old Version is Exit, Updating Start!");
inline const Text kTraceSelfRestart = VT("Is Self Restart, Delete Old Dll Files!");
inline const Text kTraceBackupFailed = VT("Backup Old Version Failed!");
inline const Text kTraceReplaceFailed = VT("升级失败，无法替换新版本的主程序");
inline const Text kTraceReplaced = VT("Backup and Replace Old Version Success!");
inline const Text kTraceStarted = VT("Start New Version");
inline const Text kTraceStartFailed = VT("Can not start New Version, Recover backup");
inline const Text kTraceNewVersionRunning = VT("New Version Started");
inline const Text kTraceNotRunning = VT("新版本的主程序未正常启动，请再尝试升级。");
inline const Text kTraceDownloadRefused =
    VT("Download not signed by the installed program's publisher, not installed");
inline const Text kTraceInstalledUnsigned =
    VT("Installed program carries no signature, download not checked");
inline const Text kTraceInstalledUnverifiable =
    VT("Installed program's signature cannot be verified, not installed");
inline const Text kTraceOwnUnverifiable =
    VT("Veltrin's own signature cannot be verified, nothing done");
inline const Text kTraceInstalledNotOurs =
    VT("Installed program not signed by Veltrin's publisher, nothing done");
inline const Text kTraceStepPrefix = VT("Setup Step:");
inline const Text kTraceTickPrefix = VT(", Tick:");

}  // namespace Form1
