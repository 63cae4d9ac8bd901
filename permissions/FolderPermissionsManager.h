#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// Reverts the user's sync folders to permissions inherited from the folders above them. Lives for
// one end of session on the window thread: the constructor reads the folder locations afresh, and the
// revert reports every failure in the trace only; no exception leaves either.
class FolderPermissionsManager
{
public:
    FolderPermissionsManager();
    virtual ~FolderPermissionsManager() = default;

    FolderPermissionsManager(const FolderPermissionsManager&) = delete;
    FolderPermissionsManager& operator=(const FolderPermissionsManager&) = delete;

    // The sync root from its parent, then the personal, shared and favorite roots from the sync root.
    void RevertRootAndChildrenFoldersToInheritedPermissions();

    // How the constructor read the settings: the key's open status, and each location value's status
    // and registry type, in the order they are read. The revert reports each one that could not be read
    // for another reason than being absent, and the administrators' tools say why a location is empty.
    struct ValueRead {
        const wchar_t* name;
        LONG status;
        DWORD type;
    };
    struct SettingsRead {
        LONG key = ERROR_FILE_NOT_FOUND;
        ValueRead values[4] = {};
    };
    // Why a value was read, but not as a location ("error 234: it holds 260 characters or more"); empty
    // when it was, or is absent.
    static std::wstring Unreadable(const ValueRead& value);
    // The locations as the constructor read them: what the revert works on, for administrators' tools.
    struct Locations {
        std::wstring parentFolder;
        std::wstring syncRoot;
        std::wstring personalFolderRoot;
        std::wstring sharedFoldersRoot;
        std::wstring favoriteFoldersRoot;
        SettingsRead read;
    };
    Locations GetLocations() const
    {
        return {parentFolderLocation,        syncRootLocation, personalFolderRootLocation, sharedFoldersRootLocation,
                favoriteFoldersRootLocation, settingsRead_};
    }
    // True for a drive letter and a colon, the form a location of a drive's root takes once its
    // backslash is gone: the revert reads such a folder's DACL from the root, and never writes one.
    static bool IsDriveDesignator(const std::wstring& path);

    // Turns a self-relative descriptor holding a DACL, in place, into what a child container would
    // inherit from it: only container-inheritable ACEs stay, no-propagate ACEs lose their inherit bits,
    // the DACL is unprotected and marked auto-inherited. Throws std::system_error (generic category)
    // on failure after tracing the failed call.
    static void MakeDaclInheritable(std::vector<BYTE>& descriptor);

private:
    void RetrieveFolderLocationsFromHkcuRegistry();
    void ReportUnreadableSettings() const;
    void InheritPermissionsFromSrcFolder(const std::wstring& destFolderPath, const std::wstring& srcFolderPath);

    std::wstring parentFolderLocation;
    std::wstring syncRootLocation;
    std::wstring personalFolderRootLocation;
    std::wstring sharedFoldersRootLocation;
    std::wstring favoriteFoldersRootLocation;
    SettingsRead settingsRead_;
};

} // namespace Orvanta::Deskweave
