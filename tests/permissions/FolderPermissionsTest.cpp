// Sync folder locations from the real per-user key, and the revert on real folders. The key's path
// is fixed, so these tests run alone.
#include "permissions/FolderPermissionsManager.h"
#include "tests/support/LogCapture.h"
#include "devtools/common/Files.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/Text.h"

#include <gtest/gtest.h>

#include <sddl.h>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

const std::string kRetrieve =
    "Orvanta::Deskweave::FolderPermissionsManager::RetrieveFolderLocationsFromHkcuRegistry";
const std::string kInherit = "Orvanta::Deskweave::FolderPermissionsManager::InheritPermissionsFromSrcFolder";

std::string Pair(const std::string& destination, const std::string& source)
{
    return kInherit + ": destination folder: " + destination + " to inherit permissions from source folder: " + source;
}

class FolderPermissions : public testing::Test
{
protected:
    std::vector<std::string> Revert()
    {
        {
            FolderPermissionsManager manager;
            manager.RevertRootAndChildrenFoldersToInheritedPermissions();
        }
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
    SetLocations(L"Q:\\Data\\Sync\\\\\\", L"Q:\\Data\\Sync\\Personal\\", L"Q:\\Data\\Sync/Shared", L"\\\\");
    const std::vector<std::string> messages = Revert();
    EXPECT_GE(FindMessage(messages, Pair("Q:\\Data\\Sync", "Q:\\Data")), 0);
    EXPECT_GE(FindMessage(messages, Pair("Q:\\Data\\Sync\\Personal", "Q:\\Data\\Sync")), 0);
    EXPECT_GE(FindMessage(messages, Pair("Q:\\Data\\Sync/Shared", "Q:\\Data\\Sync")), 0) << "'/' is no separator";
    EXPECT_EQ(messages.back(), kInherit + ": invalid (empty) destFolderPath parameter") << "only backslashes: empty";
}

TEST_F(FolderPermissions, SyncRootsAtADriveRootGiveABareDriveOrNoParent)
{
    SetLocations(L"Q:\\Sync", L"", L"", L"");
    EXPECT_GE(FindMessage(Revert(), Pair("Q:\\Sync", "Q:")), 0);

    for (const wchar_t* root : {L"Q:\\", L"Sync", L"Q:/Data/Sync"}) {
        SetLocations(root, L"Q:\\Sync\\Personal", L"", L"");
        std::wstring stored = root;
        if (stored.back() == L'\\') {
            stored.pop_back();
        }
        const std::vector<std::string> messages = Revert();
        SCOPED_TRACE(Narrow(root));
        EXPECT_EQ(0, FindMessage(messages, kRetrieve + ": failed to retrieve parent folder location from location: " +
                                               Narrow(stored)));
        EXPECT_EQ(kInherit + ": invalid (empty) srcFolderPath parameter", messages.at(1));
        EXPECT_GE(FindMessage(messages, Pair("Q:\\Sync\\Personal", Narrow(stored))), 2) << "the others still run";
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
    EXPECT_EQ(kRetrieve + ":Registry::QueryStringValue: failed to query value: SharedFoldersRootLocation with error: 234",
              messages.at(0));
    EXPECT_EQ(kRetrieve + ":Registry::QueryStringValue: failed to query value: FavoriteFoldersRootLocation with error: 2",
              messages.at(1));
    EXPECT_GE(FindMessage(messages, Pair(Narrow(fits), "Q:\\Sync")), 0) << "read last, and whole";
}

TEST_F(FolderPermissions, AMissingOrReadOnlyKeyLeavesEveryLocationEmpty)
{
    const std::vector<std::string> fourEmpty(4, kInherit + ": invalid (empty) destFolderPath parameter");

    // Full access is asked for although only read: a key the user may only read gives access denied.
    SetLocations(L"Q:\\Sync", L"Q:\\Sync\\P", L"Q:\\Sync\\S", L"Q:\\Sync\\F");
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KRWDSD;;;WD)", SDDL_REVISION_1,
                                                                     &readOnly, nullptr));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, key_.SubKey().c_str(), 0, WRITE_DAC, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly));
    RegCloseKey(key);
    LocalFree(readOnly);
    std::vector<std::string> expected = {kRetrieve + ":Registry::Open: failed with error: 5"};
    expected.insert(expected.end(), fourEmpty.begin(), fourEmpty.end());
    EXPECT_EQ(expected, Revert());

    RegDeleteTreeW(HKEY_CURRENT_USER, key_.SubKey().c_str());
    expected[0] = kRetrieve + ":Registry::Open: failed with error: 2";
    EXPECT_EQ(expected, Revert());
}

TEST_F(FolderPermissions, MissingSourceOrDestinationIsTracedWithItsCodeAndTheOtherCallsStillRun)
{
    TempFolder temp;
    const std::wstring root = temp / L"Sync";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\Personal").c_str(), nullptr);
    CreateDirectoryW((root + L"\\Favorite").c_str(), nullptr);
    SetLocations(root, root + L"\\Personal", root + L"\\Missing", root + L"\\Favorite");

    std::vector<std::string> messages = Revert();
    const int missing = FindMessage(messages, Pair(Narrow(root + L"\\Missing"), Narrow(root)));
    ASSERT_GE(missing, 0);
    const int failed = FindMessage(messages, kInherit + ":SetFileSecurity: failed with last error: ", missing);
    ASSERT_GT(failed, missing);
    EXPECT_EQ(kInherit + ": failed with exception: No such file or directory", messages.at(failed + 1));
    EXPECT_GE(FindMessage(messages, Pair(Narrow(root + L"\\Favorite"), Narrow(root)), failed), 0);
    EXPECT_EQ(1, static_cast<int>(std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
                  return m.find("failed with exception") != std::string::npos;
              })));

    SetLocations(temp / L"Nowhere\\Sync", L"", L"", L"");
    messages = Revert();
    const int read = FindMessage(messages, kInherit + ":GetFileSecurity: failed with last error: ");
    ASSERT_GE(read, 0);
    const std::string code = messages[read].substr(messages[read].rfind(' ') + 1);
    EXPECT_TRUE(code == "2" || code == "3") << code;
    EXPECT_EQ(0u, messages.at(read + 1).find(kInherit + ": failed with exception: "));
}

TEST_F(FolderPermissions, ALocationThatIsAFileIsTracedAndLeftUntouched)
{
    TempFolder temp;
    const std::wstring root = temp / L"Sync";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\Shared").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(root + L"\\Personal", "a file"));
    const std::string notAFolder = kInherit + ": not a folder, permissions left untouched: ";

    // As a destination: only that call is skipped.
    SetLocations(root, root + L"\\Personal", root + L"\\Shared", L"");
    std::vector<std::string> messages = Revert();
    const int skipped = FindMessage(messages, Pair(Narrow(root + L"\\Personal"), Narrow(root)));
    ASSERT_GE(skipped, 0);
    EXPECT_EQ(notAFolder + Narrow(root + L"\\Personal"), messages.at(skipped + 1));
    EXPECT_GE(FindMessage(messages, Pair(Narrow(root + L"\\Shared"), Narrow(root)), skipped + 2), 0);

    // As the sync root: nothing is written onto it, and nothing is made from it for the folders below.
    SetLocations(root + L"\\Personal", root + L"\\Shared", L"", L"");
    messages = Revert();
    EXPECT_EQ(2, CountMessages(messages, notAFolder + Narrow(root + L"\\Personal")));
    EXPECT_EQ(-1, FindMessage(messages, "Security Descriptor"));
    EXPECT_EQ("a file", ReadFileBytes(root + L"\\Personal"));
}

} // namespace
