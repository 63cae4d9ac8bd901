#pragma once

// Every registry key and value the agent reads, and those of its installation that the package writes
// and the administrators' tools read. The policy templates are checked against these names by a test,
// and the package's by its own test (the installed checker finds what the package wrote), so none can
// drift apart.
namespace Orvanta::Deskweave {

// Machine policy, under HKEY_LOCAL_MACHINE.
constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Veltane\\Orvanta\\Groupmere";
constexpr wchar_t kDiskVolumeValue[] = L"On-demandSyncDiskVolume";
constexpr wchar_t kAdjustPermissionsValue[] = L"AdjustPermissionsOnLogoff";

// The sync client's per-user settings, under HKEY_CURRENT_USER.
constexpr wchar_t kSyncFoldersKey[] = L"SOFTWARE\\Veltane\\Orvanta\\Sync";
constexpr wchar_t kSyncRootValue[] = L"SyncRootLocation";
constexpr wchar_t kSharedFoldersRootValue[] = L"SharedFoldersRootLocation";
constexpr wchar_t kFavoriteFoldersRootValue[] = L"FavoriteFoldersRootLocation";
constexpr wchar_t kPersonalFolderRootValue[] = L"PersonalFolderRootLocation";

// What the package writes, under HKEY_LOCAL_MACHINE: the logon start, the folder upgrades stay in, and
// the Event Log source (whose name is kEventSourceName).
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Halyard";
constexpr wchar_t kInstallFolderKey[] = L"Software\\Veltane\\Halyard";
constexpr wchar_t kInstallFolderValue[] = L"InstallFolder";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Halyard";
constexpr wchar_t kEventMessageFileValue[] = L"EventMessageFile";

// Where Task Manager's Startup tab and Settings > Apps > Startup keep an entry of the machine's Run key
// (Run) or of its 32-bit view (Run32) switched on or off, under HKEY_LOCAL_MACHINE: a binary value of
// the entry's name, off when the lowest bit of its first byte is set (03, 07).
constexpr wchar_t kStartupApprovedRunKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
constexpr wchar_t kStartupApprovedRun32Key[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run32";

// Machine (HKEY_LOCAL_MACHINE) and user (HKEY_CURRENT_USER) policy that keeps Windows from running the
// machine's Run key at logon, and with it the agent.
constexpr wchar_t kExplorerPolicyKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
constexpr wchar_t kDisableMachineRunValue[] = L"DisableLocalMachineRun";

} // namespace Orvanta::Deskweave
