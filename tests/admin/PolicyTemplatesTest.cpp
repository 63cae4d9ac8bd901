// The Group Policy templates against the names the agent really reads, so the two cannot drift.
#include "tests/support/TestSupport.h"

#include <regex>
#include <set>

using namespace HalyardTest;

namespace {

std::vector<std::string> Attributes(const std::string& xml, const std::string& name)
{
    std::vector<std::string> values;
    const std::regex attribute("\\s" + name + "=\"([^\"]*)\"");
    for (std::sregex_iterator it(xml.begin(), xml.end(), attribute), end; it != end; ++it) {
        values.push_back((*it)[1].str());
    }
    return values;
}

TEST(PolicyTemplates, WriteExactlyTheMachineKeyAndValuesTheAgentReadsWithADriveTextThatFitsItsBuffer)
{
    // The tests run under Wine, where Z: is the Unix root.
    const std::wstring policies = Widen(std::string("Z:") + HALYARD_SOURCE_DIR + "/admin/policies/");
    const std::string admx = ReadFileBytes(policies + L"Halyard.admx");
    ASSERT_FALSE(ReadFileBytes(policies + L"en-US/Halyard.adml").empty());
    const std::vector<std::string> keys = Attributes(admx, "key");
    EXPECT_EQ(2u, keys.size());
    for (const std::string& key : keys) {
        // Registry key names are compared without regard to case.
        EXPECT_EQ(0, _stricmp(Narrow(kPolicyKey).c_str(), key.c_str())) << key;
    }
    const std::vector<std::string> names = Attributes(admx, "valueName");
    EXPECT_EQ((std::set<std::string>{Narrow(kDiskVolumeValue), Narrow(kAdjustPermissionsValue)}),
              std::set<std::string>(names.begin(), names.end()));
    EXPECT_EQ((std::vector<std::string>{"Machine", "Machine"}), Attributes(admx, "class"))
        << "the agent reads HKEY_LOCAL_MACHINE only";
    // 29 characters and the terminating NUL are 60 bytes: any longer value stops the agent at its gate.
    EXPECT_EQ(std::vector<std::string>{"29"}, Attributes(admx, "maxLength"));
    // An MDM's ingestion takes the template alone: it may refer to no other template's namespace.
    EXPECT_EQ(std::string::npos, admx.find("<using")) << "a template that needs another one ingested first";
}

} // namespace
