// The DACL rebuild on real security descriptors built from SDDL, as GetFileSecurityW would return
// them (self-relative, DACL only). Wine keeps no file DACLs, so this is where the rebuild is pinned.
#include "tests/support/TestSupport.h"
#include "permissions/FolderPermissionsManager.h"

#include <sddl.h>

#include <system_error>

using namespace HalyardTest;

namespace {

const std::string kName = "Orvanta::Deskweave::FolderPermissionsManager::InheritPermissionsFromSrcFolder: ";

std::vector<BYTE> FromSddl(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, &size));
    const UniqueLocalMemory owner(descriptor);
    const auto* bytes = static_cast<const BYTE*>(descriptor);
    return std::vector<BYTE>(bytes, bytes + size);
}

std::string DaclSddl(std::vector<BYTE>& descriptor)
{
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    const UniqueLocalMemory owner(text);
    return text != nullptr ? Narrow(text) : "<no text>";
}

class DaclRebuild : public testing::Test
{
protected:
    LogCapture log_;
};

TEST_F(DaclRebuild, RemovalPassStartsOverAfterEachRemovalAndKeepsOnlyContainerInheritableAces)
{
    std::vector<BYTE> descriptor = FromSddl(L"D:(A;CI;FA;;;SY)(A;;FA;;;BA)(A;CI;GR;;;BU)(A;OI;FA;;;WD)");
    FolderPermissionsManager::MakeDaclInheritable(descriptor);
    EXPECT_EQ("D:AI(A;CI;FA;;;SY)(A;CI;GR;;;BU)", DaclSddl(descriptor));

    const auto ace = [](int index, const char* type, const char* flags) {
        return kName + "ACE_HEADER: index: " + std::to_string(index) + " type: " + type + " flags: " + flags;
    };
    const std::string keep = kName + "ACE can be inherited by child containers => keep ACE";
    const std::string remove = kName + "ACE cannot be inherited by child containers => remove ACE";
    // The removal pass walks 0, 1, 0, 1, 2, 0, 1; the adjustment pass then walks what is left.
    const std::vector<std::string> expected = {
        kName + "source Security Descriptor: [D:(A;CI;FA;;;SY)(A;;FA;;;BA)(A;CI;GR;;;BU)(A;OI;FA;;;WD)]",
        "Source Security Descriptor control: 0x8404", // self-relative, DACL present, auto-inherited
        kName + "Number of ACE(s) in source DACL: 4",
        ace(0, "0x00", "0x02"),
        keep,
        ace(1, "0x00", "0x00"),
        remove,
        ace(0, "0x00", "0x02"),
        keep,
        ace(1, "0x00", "0x02"),
        keep,
        ace(2, "0x00", "0x01"),
        remove,
        ace(0, "0x00", "0x02"),
        keep,
        ace(1, "0x00", "0x02"),
        keep,
        ace(0, "0x00", "0x02"),
        ace(1, "0x00", "0x02"),
        kName + "Number of ACE(s) in destination DACL: 2",
        kName + "destination Security Descriptor: [D:AI(A;CI;FA;;;SY)(A;CI;GR;;;BU)]",
    };
    EXPECT_EQ(expected, log_.Messages());
}

// A present but null DACL, self-relative. (Wine's SDDL parser turns "D:NO_ACCESS_CONTROL" into an
// empty DACL, so it is built by hand.)
std::vector<BYTE> NullDacl()
{
    SECURITY_DESCRIPTOR absolute = {};
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE);
    DWORD size = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &size);
    std::vector<BYTE> relative(size);
    EXPECT_TRUE(MakeSelfRelativeSD(&absolute, relative.data(), &size));
    return relative;
}

TEST_F(DaclRebuild, InheritFlagsOfTheKeptAcesFollowTheirPropagationAndANullOrMissingDaclIsRefused)
{
    const std::pair<std::vector<BYTE>, const char*> rows[] = {
        {FromSddl(L"D:(A;CINP;FA;;;SY)"), "D:AI(A;NP;FA;;;SY)"}, // no-propagate: both inherit bits go
        {FromSddl(L"D:(A;OICINP;FA;;;SY)"), "D:AI(A;NP;FA;;;SY)"},
        {FromSddl(L"D:(A;CIIOID;FA;;;SY)"), "D:AI(A;CIIOID;FA;;;SY)"}, // inherit-only and inherited stay
        {FromSddl(L"D:(D;CI;FA;;;BG)(A;OICI;FA;;;SY)"), "D:AI(D;CI;FA;;;BG)(A;OICI;FA;;;SY)"},
        {FromSddl(L"D:PAI(A;CI;FA;;;WD)"), "D:AI(A;CI;FA;;;WD)"}, // protection cleared
        {FromSddl(L"D:P(A;OI;FA;;;SY)(A;;FA;;;BA)"), "D:AI"},     // nothing inheritable: an empty DACL
        {FromSddl(L"D:"), "D:AI"},
        {NullDacl(), "1338"}, // refused as an invalid descriptor, like a missing DACL
        {FromSddl(L"O:BAG:BA"), "1338"},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.second);
        try {
            FolderPermissionsManager::MakeDaclInheritable(row.first);
            EXPECT_EQ(row.second, DaclSddl(row.first));
        } catch (const std::system_error& e) {
            EXPECT_EQ(row.second, std::to_string(e.code().value()));
            EXPECT_EQ(std::generic_category(), e.code().category());
        }
    }
    EXPECT_EQ(2, CountMessages(log_.Messages(), kName.substr(0, kName.size() - 2) +
                                                    ":GetSecurityDescriptorDacl: failed with last error: 1338"));
}

} // namespace
