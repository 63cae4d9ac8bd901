// Sync folder locations from the real per-user key, and the revert on real folders. The key's path
// is fixed, so these tests run alone.
#include "tests/support/TestSupport.h"
#include "permissions/FolderPermissionsManager.h"

#include <sddl.h>

#include <memory>

using namespace HalyardTest;

namespace {

const std::string kRetrieve = "Orvanta::Deskweave::FolderPermissionsManager::RetrieveFolderLocationsFromHkcuRegistry";
const std::string kInherit = "Orvanta::Deskweave::FolderPermissionsManager::InheritPermissionsFromSrcFolder";
const std::string kEmptyDestination = kInherit + ": invalid (empty) destFolderPath parameter";

std::string Pair(const std::wstring& destination, const std::wstring& source)
{
    return kInherit + ": destination folder: " + Narrow(destination) +
           " to inherit permissions from source folder: " + Narrow(source);
}

// A folder's DACL as the revert traces it.
std::string FolderDacl(const std::wstring& folder)
{
    DWORD needed = 0;
    GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed + 1);
    LPWSTR text = nullptr;
    if (GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, 0x1F, &text, nullptr);
    }
    const UniqueLocalMemory owner(text);
    return text != nullptr ? Narrow(text) : "<none>";
}

class FolderPermissions : public testing::Test
{
protected:
    std::vector<std::string> Revert()
    {
        FolderPermissionsManager().RevertRootAndChildrenFoldersToInheritedPermissions();
        return log_.TakeMessages();
    }
    void SetLocations(const std::wstring& root, const std::wstring& personal, const std::wstring& shared,
                      const std::wstring& favorite)
    {
        key_.SetString(L"SyncRootLocation", root);
        key_.SetString(L"PersonalFolderRootLocation", personal);
        key_.SetString(L"SharedFoldersRootLocation", shared);
        key_.SetString(L"FavoriteFoldersRootLocation", favorite);
    }

    ScopedRegistryKey key_{HKEY_CURRENT_USER, L"SOFTWARE\\Veltane\\Orvanta\\Sync"};
    LogCapture log_;
};

TEST_F(FolderPermissions, LocationsLoseEveryTrailingBackslashAndTheParentIsTheTextBeforeTheLastOne)
{
    struct Row {
        const wchar_t* root;
        const wchar_t* stored;
        const wchar_t* parent; // nullptr: none can be derived
    };
    const Row rows[] = {{L"Q:\\Data\\Sync\\\\\\", L"Q:\\Data\\Sync", L"Q:\\Data"},
                        {L"Q:\\Sync", L"Q:\\Sync", L"Q:"},
                        {L"Q:\\", L"Q:", nullptr},
                        {L"Sync", L"Sync", nullptr},
                        {L"Q:/Data/Sync", L"Q:/Data/Sync", nullptr}};
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.root));
        SetLocations(row.root, L"Q:\\Personal\\", L"", L"\\\\");
        const std::vector<std::string> messages = Revert();
        if (row.parent != nullptr) {
            EXPECT_EQ(Pair(row.stored, row.parent), messages.at(0));
        } else {
            EXPECT_EQ(kRetrieve + ": failed to retrieve parent folder location from location: " + Narrow(row.stored),
                      messages.at(0));
            EXPECT_EQ(kInherit + ": invalid (empty) srcFolderPath parameter", messages.at(1)) << "no first call";
        }
        EXPECT_GE(FindMessage(messages, Pair(L"Q:\\Personal", row.stored)), 1) << "the others still run";
        EXPECT_EQ(kEmptyDestination, messages.back()) << "only backslashes: empty";
    }
}

TEST_F(FolderPermissions, LongAndMissingValuesAreTracedWhileTheOthersAreStillRead)
{
    const std::wstring fits = L"Q:\\" + std::wstring(256, L'p');    // 259 characters
    const std::wstring tooLong = L"Q:\\" + std::wstring(257, L's'); // 260 characters
    key_.SetString(L"SyncRootLocation", L"Q:\\Sync");
    key_.SetString(L"SharedFoldersRootLocation", tooLong);
    key_.SetString(L"PersonalFolderRootLocation", fits);
    const std::vector<std::string> messages = Revert();
    const std::string failed = kRetrieve + ":Registry::QueryStringValue: failed to query value: ";
    EXPECT_EQ(failed + "SharedFoldersRootLocation with error: 234", messages.at(0));
    EXPECT_EQ(failed + "FavoriteFoldersRootLocation with error: 2", messages.at(1));
    EXPECT_GE(FindMessage(messages, Pair(fits, L"Q:\\Sync")), 0) << "read last, and whole";
}

TEST_F(FolderPermissions, AMissingOrReadOnlyKeyLeavesEveryLocationEmpty)
{
    // Full access is asked for although only read: a key the user may only read gives access denied.
    SetLocations(L"Q:\\Sync", L"Q:\\Sync\\P", L"Q:\\Sync\\S", L"Q:\\Sync\\F");
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KRWDSD;;;WD)", SDDL_REVISION_1, &readOnly,
                                                                     nullptr));
    const UniqueLocalMemory owner(readOnly);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, key_.SubKey().c_str(), 0, WRITE_DAC, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(UniqueHkey(key).get(), DACL_SECURITY_INFORMATION, readOnly));
    std::vector<std::string> expected(5, kEmptyDestination);
    expected[0] = kRetrieve + ":Registry::Open: failed with error: 5";
    EXPECT_EQ(expected, Revert());

    key_.Delete();
    expected[0] = kRetrieve + ":Registry::Open: failed with error: 2";
    EXPECT_EQ(expected, Revert());
}

// On real folders: one location missing, one a file, one as it should be; then the sync root a file,
// and under a folder that does not exist. Each call reports its own failure and the others still run.
TEST_F(FolderPermissions, MissingLocationsAndFilesAreTracedAndTheOtherCallsStillRun)
{
    TempFolder temp;
    const std::wstring root = temp / L"Sync";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\Favorite").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(root + L"\\Personal", "a file"));
    const std::string notAFolder = kInherit + ": not a folder, permissions left untouched: ";

    SetLocations(root, root + L"\\Personal", root + L"\\Missing", root + L"\\Favorite");
    std::vector<std::string> messages = Revert();
    const int file = FindMessage(messages, Pair(root + L"\\Personal", root));
    ASSERT_GE(file, 0);
    EXPECT_EQ(notAFolder + Narrow(root + L"\\Personal"), messages.at(file + 1));
    const int missing = FindMessage(messages, kInherit + ":SetFileSecurity: failed with last error: ", file);
    ASSERT_GT(missing, FindMessage(messages, Pair(root + L"\\Missing", root)));
    EXPECT_EQ(kInherit + ": failed with exception: No such file or directory", messages.at(missing + 1));
    EXPECT_GE(FindMessage(messages, Pair(root + L"\\Favorite", root), missing), 0);
    EXPECT_EQ(1, CountMessages(messages, "failed with exception"));

    // A file as the sync root: nothing is written onto it, and nothing is made from it for the folders below.
    SetLocations(root + L"\\Personal", root + L"\\Favorite", L"", L"");
    messages = Revert();
    EXPECT_EQ(2, CountMessages(messages, notAFolder + Narrow(root + L"\\Personal")));
    EXPECT_EQ(-1, FindMessage(messages, "Security Descriptor"));
    EXPECT_EQ("a file", ReadFileBytes(root + L"\\Personal"));

    SetLocations(temp / L"Nowhere\\Sync", L"", L"", L"");
    messages = Revert();
    const int read = FindMessage(messages, kInherit + ":GetFileSecurity: failed with last error: ");
    ASSERT_GE(read, 0);
    const std::string code = messages[read].substr(messages[read].rfind(' ') + 1);
    EXPECT_TRUE(code == "2" || code == "3") << code;
    EXPECT_EQ(0u, messages.at(read + 1).find(kInherit + ": failed with exception: "));
}

// A sync root right below a drive's root, while the process's current folder on that drive is another
// one ("R:" alone names that folder): the sync root inherits from the root, and a location that is the
// root itself is written neither there nor on the current folder.
// Label: wine
TEST_F(FolderPermissions, ASyncRootBelowADriveRootInheritsFromTheRootAndTheRootIsNeverWritten)
{
    TempFolder temp;
    for (const wchar_t* folder : {L"volume", L"volume\\current", L"volume\\Sync"}) {
        CreateDirectoryW((temp / folder).c_str(), nullptr);
    }
    const WineDrive drive(temp / L"volume");
    ASSERT_FALSE(drive.Letter().empty());
    const std::wstring root = drive.Letter() + L"\\";
    // Wine keeps a folder's DACL as its Unix mode bits, and reads them back as one.
    PSECURITY_DESCRIPTOR ownerOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;SY)", SDDL_REVISION_1, &ownerOnly,
                                                                     nullptr));
    const UniqueLocalMemory owner(ownerOnly);
    ASSERT_TRUE(SetFileSecurityW((root + L"current").c_str(), DACL_SECURITY_INFORMATION, ownerOnly));
    const std::string current = FolderDacl(root + L"current");
    ASSERT_NE(FolderDacl(root), current);

    SetLocations(root + L"Sync", root, L"", L"");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW((root + L"current").c_str()));
    const std::vector<std::string> messages = Revert();
    SetCurrentDirectoryW(previous);

    EXPECT_EQ(Pair(root + L"Sync", drive.Letter()), messages.at(0)) << "the parent as derived, traced as it is";
    EXPECT_EQ(kInherit + ": source Security Descriptor: [" + FolderDacl(root) + "]", messages.at(1));
    const int write = FindMessage(messages, Pair(drive.Letter(), root + L"Sync"));
    ASSERT_GT(write, 0);
    const int refused = FindMessage(messages, kInherit + ":SetFileSecurity: failed with last error: 123", write);
    ASSERT_GT(refused, write);
    EXPECT_EQ(0u, messages.at(refused + 1).find(kInherit + ": failed with exception: "));
    EXPECT_EQ(current, FolderDacl(root + L"current")) << "the drive's current folder was written";
}

// Every revert that does not happen is in the Event Log, where the trace alone said so before: settings
// that cannot be read (entry 501, naming the key or value) and folders left without a source (entry
// 500); settings that are absent are a user without On-demand Sync, and get none. One revert a row, in
// a child whose entries Wine's eventlog channel records.
int RevertWithSettingsThatDoNotWork()
{
    const std::wstring key = L"SOFTWARE\\Veltane\\Orvanta\\Sync";
    const auto revert = [] { FolderPermissionsManager().RevertRootAndChildrenFoldersToInheritedPermissions(); };
    const auto row = [&key](const std::vector<std::pair<const wchar_t*, std::wstring>>& values) {
        auto settings = std::make_unique<ScopedRegistryKey>(HKEY_CURRENT_USER, key);
        for (const auto& [name, value] : values) {
            settings->SetString(name, value);
        }
        return settings;
    };
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    revert();
    {
        auto settings = row({{L"SyncRootLocation", L"Q:\\Sync"}});
        PSECURITY_DESCRIPTOR readOnly = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KRWDSD;;;WD)", SDDL_REVISION_1, &readOnly,
                                                             nullptr);
        const UniqueLocalMemory owner(readOnly);
        HKEY opened = nullptr;
        RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, WRITE_DAC, &opened);
        RegSetKeySecurity(UniqueHkey(opened).get(), DACL_SECURITY_INFORMATION, readOnly);
        revert();
    }
    row({{L"SharedFoldersRootLocation", L"Q:\\" + std::wstring(257, L's')}}), revert();
    {
        auto settings = row({});
        settings->SetDword(L"FavoriteFoldersRootLocation", 0x00410042);
        revert();
    }
    row({{L"SyncRootLocation", L"Q:\\"}}), revert();
    row({{L"SyncRootLocation", L"Sync"}}), revert();
    row({{L"PersonalFolderRootLocation", L"Q:\\Sync\\Personal"}}), revert();
    return 0;
}
const ChildRoutine revertWithSettingsThatDoNotWork("revert-with-settings-that-do-not-work",
                                                   RevertWithSettingsThatDoNotWork);

// Label: wine
TEST(FolderPermissionsEntries, EachRevertThatDoesNotHappenIsReportedAndAbsentSettingsAreNot)
{
    const ChildResult reverted = RunChildRecordingWine("revert-with-settings-that-do-not-work", "+pid,+eventlog");
    ASSERT_EQ(0u, reverted.exitCode) << reverted.output;
    DWORD id = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &id);
    const std::string session = std::to_string(id) + "|";
    const std::string key = "HKEY_CURRENT_USER\\SOFTWARE\\Veltane\\Orvanta\\Sync";
    const std::string noParent = "the folder above it cannot be derived from the location (a drive's root, or a "
                                 "location without a backslash)";
    const std::string noSource =
        "there is no sync root to inherit from (SyncRootLocation is not set, or cannot be read)";
    EXPECT_EQ((Messages{"2 501 " + session + key + "|error 5",
                        "2 501 " + session + key +
                            "\\SharedFoldersRootLocation|error 234: it holds 260 characters or more",
                        "2 501 " + session + key +
                            "\\FavoriteFoldersRootLocation|it is not a string but a value of type 4",
                        "2 500 " + session + "BA|" + noSource, "2 500 " + session + "Q:|" + noParent,
                        "2 500 " + session + "Sync|" + noParent,
                        "2 500 " + session + "Q:\\Sync\\Personal|" + noSource}),
              Described(ReportedEvents(reverted.output)));
}

} // namespace
