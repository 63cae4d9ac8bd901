#include "permissions/FolderPermissionsManager.h"

#include "platform/EventLog.h"
#include "platform/Registry.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"
#include "trace/Trace.h"

#include <sddl.h>

#include "HalyardEvents.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <system_error>

namespace Orvanta::Deskweave {
namespace {
const char kRetrieveName[] = "Orvanta::Deskweave::FolderPermissionsManager::RetrieveFolderLocationsFromHkcuRegistry";
const char kRevertName[] =
    "Orvanta::Deskweave::FolderPermissionsManager::RevertRootAndChildrenFoldersToInheritedPermissions";
const char kInheritName[] = "Orvanta::Deskweave::FolderPermissionsManager::InheritPermissionsFromSrcFolder";

constexpr SECURITY_INFORMATION kAllDescriptorParts = 0x1F;

[[noreturn]] void Fail(DWORD code)
{
    // Generic, not system category: the description is the errno message for the number.
    throw std::system_error(static_cast<int>(code), std::generic_category());
}

[[noreturn]] void FailCall(const wchar_t* format, DWORD code)
{
    Trace(format, kInheritName, code);
    Fail(code);
}

// One entry a folder: the administrator's record that a user kept permissions the policy meant to revert.
void ReportRevertFailure(const std::wstring& folder, const std::wstring& reason)
{
    EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_PERMISSION_REVERT_FAILED,
                     {EventLog::ThisSession(), folder, reason});
}

void TraceDescriptor(const wchar_t* format, PSECURITY_DESCRIPTOR descriptor)
{
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, kAllDescriptorParts, &text,
                                                             nullptr)) {
        const UniqueLocalMemory owner(text);
        Trace(format, kInheritName, text);
    } else {
        Trace(L"%S:ConvertSecurityDescriptorToStringSecurityDescriptor: failed with last error: %ld\n", kInheritName,
              GetLastError());
    }
}

// A path that exists but names something else than a folder (a file, after a user or program put one
// where a sync folder was). A path that does not exist is left to the security calls, which report it.
bool ExistsButIsNoFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Where the DACL of a location is read: a drive designator names the drive's root.
std::wstring FolderToRead(const std::wstring& path)
{
    return FolderPermissionsManager::IsDriveDesignator(path) ? path + L"\\" : path;
}

ACE_HEADER* AceAt(PACL dacl, WORD index)
{
    void* ace = nullptr;
    if (!GetAce(dacl, index, &ace)) {
        FailCall(L"%S:GetAce: failed with last error: %ld\n", GetLastError());
    }
    auto* header = static_cast<ACE_HEADER*>(ace);
    Trace(L"%S: ACE_HEADER: index: %ld type: 0x%02X flags: 0x%02X\n", kInheritName, static_cast<long>(index),
          header->AceType, header->AceFlags);
    return header;
}
} // namespace

// Handed to the file system, a drive letter and a colon mean the current folder of that drive, not
// its root.
bool FolderPermissionsManager::IsDriveDesignator(const std::wstring& path)
{
    const wchar_t letter = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
    return path.size() == 2 && path[1] == L':' && letter >= L'a' && letter <= L'z';
}

FolderPermissionsManager::FolderPermissionsManager()
{
    RetrieveFolderLocationsFromHkcuRegistry();
}

void FolderPermissionsManager::RetrieveFolderLocationsFromHkcuRegistry()
{
    Registry key;
    try {
        // Full access although only read: a user who may not write the key gets no locations.
        const LONG status = key.Open(HKEY_CURRENT_USER, kSyncFoldersKey, KEY_ALL_ACCESS);
        settingsRead_.key = status;
        if (status != ERROR_SUCCESS) {
            Trace(L"%S:Registry::Open: failed with error: %ld\n", kRetrieveName, status);
            return;
        }

        struct Location {
            const wchar_t* valueName;
            std::wstring* field;
        };
        const Location locations[] = {
            {kSyncRootValue, &syncRootLocation},
            {kSharedFoldersRootValue, &sharedFoldersRootLocation},
            {kFavoriteFoldersRootValue, &favoriteFoldersRootLocation},
            {kPersonalFolderRootValue, &personalFolderRootLocation},
        };
        std::vector<wchar_t> buffer(MAX_PATH);
        for (size_t i = 0; i < std::size(locations); ++i) {
            const Location& location = locations[i];
            std::fill(buffer.begin(), buffer.end(), L'\0');
            ULONG size = static_cast<ULONG>(buffer.size() * sizeof(wchar_t));
            DWORD type = REG_NONE;
            const LONG queried = key.QueryStringValue(location.valueName, buffer.data(), size, &type);
            settingsRead_.values[i] = {location.valueName, queried, type};
            if (queried != ERROR_SUCCESS) {
                Trace(L"%S:Registry::QueryStringValue: failed to query value: %s with error: %ld\n", kRetrieveName,
                      location.valueName, queried);
                continue;
            }
            // Registry strings need not be terminated: stop at the first NUL or at the data's end.
            std::wstring value(buffer.data(), size);
            value.resize(wcsnlen(value.c_str(), value.size()));
            while (!value.empty() && value.back() == L'\\') {
                value.pop_back();
            }
            *location.field = value;
        }

        const size_t lastSeparator = syncRootLocation.rfind(L'\\');
        if (lastSeparator == std::wstring::npos) {
            Trace(L"%S: failed to retrieve parent folder location from location: %s\n", kRetrieveName,
                  syncRootLocation.c_str());
        } else {
            parentFolderLocation = syncRootLocation.substr(0, lastSeparator);
        }
    } catch (const std::exception& e) {
        Trace(L"%S: failed with exception: %S\n", kRetrieveName, e.what());
    }
}

std::wstring FolderPermissionsManager::Unreadable(const ValueRead& value)
{
    if (value.name == nullptr || value.status == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    if (value.status == ERROR_MORE_DATA) {
        return L"error 234: it holds 260 characters or more";
    }
    if (value.status != ERROR_SUCCESS) {
        return L"error " + std::to_wstring(value.status);
    }
    return value.type != REG_SZ && value.type != REG_EXPAND_SZ
               ? L"it is not a string but a value of type " + std::to_wstring(value.type)
               : std::wstring();
}

// The settings the administrator cannot otherwise see were not read: one entry for the key, or one a
// value; an absent key or value is a user without On-demand Sync, and gets none.
void FolderPermissionsManager::ReportUnreadableSettings() const
{
    const std::wstring key = L"HKEY_CURRENT_USER\\" + std::wstring(kSyncFoldersKey);
    if (settingsRead_.key != ERROR_SUCCESS && settingsRead_.key != ERROR_FILE_NOT_FOUND) {
        EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_PERMISSION_SETTINGS_UNREADABLE,
                         {EventLog::ThisSession(), key, L"error " + std::to_wstring(settingsRead_.key)});
    }
    for (const ValueRead& value : settingsRead_.values) {
        const std::wstring why = Unreadable(value);
        if (!why.empty()) {
            EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_PERMISSION_SETTINGS_UNREADABLE,
                             {EventLog::ThisSession(), key + L"\\" + value.name, why});
        }
    }
}

void FolderPermissionsManager::RevertRootAndChildrenFoldersToInheritedPermissions()
{
    ReportUnreadableSettings();
    try {
        // The children read the sync root's DACL as the first call leaves it.
        InheritPermissionsFromSrcFolder(syncRootLocation, parentFolderLocation);
        InheritPermissionsFromSrcFolder(personalFolderRootLocation, syncRootLocation);
        InheritPermissionsFromSrcFolder(sharedFoldersRootLocation, syncRootLocation);
        InheritPermissionsFromSrcFolder(favoriteFoldersRootLocation, syncRootLocation);
    } catch (const std::exception& e) {
        Trace(L"%S: failed with exception: %S\n", kRevertName, e.what());
    }
}

void FolderPermissionsManager::InheritPermissionsFromSrcFolder(const std::wstring& destFolderPath,
                                                               const std::wstring& srcFolderPath)
{
    if (destFolderPath.empty()) {
        Trace(L"%S: invalid (empty) destFolderPath parameter\n", kInheritName);
        return;
    }
    if (srcFolderPath.empty()) {
        Trace(L"%S: invalid (empty) srcFolderPath parameter\n", kInheritName);
        ReportRevertFailure(destFolderPath, &destFolderPath == &syncRootLocation
                                                ? L"the folder above it cannot be derived from the location (a "
                                                  L"drive's root, or a location without a backslash)"
                                                : L"there is no sync root to inherit from (SyncRootLocation is not "
                                                  L"set, or cannot be read)");
        return;
    }
    Trace(L"%S: destination folder: %s to inherit permissions from source folder: %s\n", kInheritName,
          destFolderPath.c_str(), srcFolderPath.c_str());
    // A folder's DACL written onto a file, or one made from a file's DACL (which holds nothing that
    // folders inherit, so nobody would keep access), is never what the user's sync folders need.
    for (const std::wstring* path : {&destFolderPath, &srcFolderPath}) {
        if (ExistsButIsNoFolder(FolderToRead(*path))) {
            Trace(L"%S: not a folder, permissions left untouched: %s\n", kInheritName, path->c_str());
            ReportRevertFailure(destFolderPath, *path + L" is not a folder");
            return;
        }
    }

    try {
        const std::wstring source = FolderToRead(srcFolderPath);
        DWORD needed = 0;
        if (!GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
            const DWORD error = GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER) {
                FailCall(L"%S:GetFileSecurity: failed with last error: %ld\n", error);
            }
        }
        if (needed == 0) {
            FailCall(L"%S:GetFileSecurity: failed with last error: %ld\n", ERROR_INVALID_SECURITY_DESCR);
        }
        std::vector<BYTE> descriptor(needed, 0);
        if (!GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
            FailCall(L"%S:GetFileSecurity: failed with last error: %ld\n", GetLastError());
        }

        MakeDaclInheritable(descriptor);

        // A drive's root is never given a sync folder's DACL, nor is the current folder of that drive:
        // a location of "D:\" is refused as the file system refuses a name it cannot take.
        if (IsDriveDesignator(destFolderPath)) {
            FailCall(L"%S:SetFileSecurity: failed with last error: %ld\n", ERROR_INVALID_NAME);
        }
        if (!SetFileSecurityW(destFolderPath.c_str(), DACL_SECURITY_INFORMATION, descriptor.data())) {
            FailCall(L"%S:SetFileSecurity: failed with last error: %ld\n", GetLastError());
        }
    } catch (const std::exception& e) {
        Trace(L"%S: failed with exception: %S\n", kInheritName, e.what());
        const auto* failure = dynamic_cast<const std::system_error*>(&e);
        ReportRevertFailure(destFolderPath, failure != nullptr ? L"error " + std::to_wstring(failure->code().value())
                                                               : L"an exception");
    }
}

void FolderPermissionsManager::MakeDaclInheritable(std::vector<BYTE>& descriptor)
{
    PSECURITY_DESCRIPTOR securityDescriptor = descriptor.data();
    TraceDescriptor(L"%S: source Security Descriptor: [%s]\n", securityDescriptor);

    if (!SetSecurityDescriptorControl(securityDescriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                      SE_DACL_AUTO_INHERITED)) {
        FailCall(L"%S:SetSecurityDescriptorControl: failed with last error: %ld\n", GetLastError());
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(securityDescriptor, &control, &revision)) {
        FailCall(L"%S:GetSecurityDescriptorControl: failed with last error: %ld\n", GetLastError());
    }
    Trace(L"Source Security Descriptor control: 0x%04X\n", control);

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(securityDescriptor, &present, &dacl, &defaulted)) {
        FailCall(L"%S:GetSecurityDescriptorDacl: failed with last error: %ld\n", GetLastError());
    }
    // A null DACL (present, but no list) grants everyone everything and has nothing to inherit from;
    // it is refused like a missing DACL rather than written on as full access.
    if (!present || dacl == nullptr) {
        FailCall(L"%S:GetSecurityDescriptorDacl: failed with last error: %ld\n", ERROR_INVALID_SECURITY_DESCR);
    }

    Trace(L"%S: Number of ACE(s) in source DACL: %d\n", kInheritName, dacl->AceCount);

    // After each removal the pass starts over at 0; the count is read afresh at every test.
    for (WORD index = 0; index < dacl->AceCount;) {
        const ACE_HEADER* header = AceAt(dacl, index);
        if ((header->AceFlags & CONTAINER_INHERIT_ACE) != 0) {
            Trace(L"%S: ACE can be inherited by child containers => keep ACE\n", kInheritName);
            ++index;
        } else {
            Trace(L"%S: ACE cannot be inherited by child containers => remove ACE\n", kInheritName);
            if (!DeleteAce(dacl, index)) {
                FailCall(L"%S:DeleteAce: failed with last error: %ld\n", GetLastError());
            }
            index = 0;
        }
    }

    for (WORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = AceAt(dacl, index);
        if ((header->AceFlags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            Trace(L"%S: Adjusted ACE to not be inherited by subsequent generations of objects\n", kInheritName);
            header->AceFlags &= static_cast<BYTE>(~(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        }
    }

    Trace(L"%S: Number of ACE(s) in destination DACL: %d\n", kInheritName, dacl->AceCount);
    TraceDescriptor(L"%S: destination Security Descriptor: [%s]\n", securityDescriptor);
}

} // namespace Orvanta::Deskweave
