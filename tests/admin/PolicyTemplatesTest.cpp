// The Group Policy templates against the names the agent really reads, so the two cannot drift.
#include "platform/RegistryNames.h"
#include "devtools/common/Files.h"
#include "devtools/common/Text.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace Orvanta::Deskweave;
using namespace HalyardDev;

namespace {

std::string SourceFile(const char* relative)
{
    // The tests run under Wine, where Z: is the Unix root.
    return ReadFileBytes(Widen(std::string("Z:") + HALYARD_SOURCE_DIR + "/" + relative));
}

std::vector<std::string> Attributes(const std::string& xml, const std::string& name)
{
    std::vector<std::string> values;
    const std::regex attribute("\\s" + name + "=\"([^\"]*)\"");
    for (std::sregex_iterator it(xml.begin(), xml.end(), attribute), end; it != end; ++it) {
        values.push_back((*it)[1].str());
    }
    return values;
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

class PolicyTemplates : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(admx_.empty());
        ASSERT_FALSE(adml_.empty());
    }

    std::string admx_ = SourceFile("admin/policies/Halyard.admx");
    std::string adml_ = SourceFile("admin/policies/en-US/Halyard.adml");
};

TEST_F(PolicyTemplates, WriteExactlyTheMachineKeyAndValuesTheAgentReads)
{
    for (const std::string& key : Attributes(admx_, "key")) {
        // Registry key names are compared without regard to case.
        EXPECT_EQ(Lower(Narrow(kPolicyKey)), Lower(key));
    }
    EXPECT_EQ(2u, Attributes(admx_, "key").size());
    const std::vector<std::string> names = Attributes(admx_, "valueName");
    EXPECT_EQ((std::set<std::string>{Narrow(kDiskVolumeValue), Narrow(kAdjustPermissionsValue)}),
              std::set<std::string>(names.begin(), names.end()));
    for (const std::string& policyClass : Attributes(admx_, "class")) {
        EXPECT_EQ("Machine", policyClass) << "the agent reads HKEY_LOCAL_MACHINE only";
    }
}

TEST_F(PolicyTemplates, DriveTextFitsTheBufferTheAgentReadsItInto)
{
    const std::vector<std::string> lengths = Attributes(admx_, "maxLength");
    ASSERT_EQ(1u, lengths.size());
    // 60 bytes with the terminating NUL: any longer value stops the agent at its policy gate.
    EXPECT_LE(std::stoi(lengths[0]), 29);
}

} // namespace
