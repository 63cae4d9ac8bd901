#pragma once

// Every registry key and value the agent reads. The policy templates for administrators are checked
// against these names by a test, so the two cannot drift apart.
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

} // namespace Orvanta::Deskweave
