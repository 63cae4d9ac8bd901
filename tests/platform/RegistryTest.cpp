// Registry reads at their boundaries, on real keys under a test-only root.
#include "platform/Registry.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/Text.h"

#include <gtest/gtest.h>

using namespace Orvanta::Deskweave;
using namespace HalyardDev;

namespace {

class RegistryKey : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(ERROR_SUCCESS, registry_.Open(HKEY_CURRENT_USER, key_.SubKey().c_str(), KEY_READ)); }

    ScopedRegistryKey key_{HKEY_CURRENT_USER, L"Software\\HalyardTest\\" + UniqueSuffix()};
    Registry registry_;
};

TEST_F(RegistryKey, StringThatExactlyFitsIsReadWholeAndOnePairOfBytesMoreIsMoreData)
{
    key_.SetString(L"fits", std::wstring(29, L'f'));   // 60 bytes with its terminator
    key_.SetString(L"over", std::wstring(30, L'o'));   // 62 bytes

    wchar_t buffer[30] = {};
    ULONG size = sizeof(buffer);
    EXPECT_EQ(ERROR_SUCCESS, registry_.QueryStringValue(L"fits", buffer, size));
    EXPECT_EQ(30u, size) << "characters, terminator included";
    EXPECT_EQ(std::wstring(29, L'f'), std::wstring(buffer));

    size = sizeof(buffer);
    EXPECT_EQ(ERROR_MORE_DATA, registry_.QueryStringValue(L"over", buffer, size));
    EXPECT_EQ(sizeof(buffer), size) << "nothing is taken on more data";
}

TEST_F(RegistryKey, AnyTypeIsReadAsRawBytes)
{
    key_.SetBytes(L"two", REG_BINARY, std::string("\x34\x12", 2));
    key_.SetBytes(L"five", REG_BINARY, std::string("\x01\x02\x03\x04\x05", 5));
    key_.SetString(L"a", L"a");   // "a" and its terminator: 4 bytes
    key_.SetDword(L"number", 0x00410042);

    struct Row {
        const wchar_t* name;
        LONG status;
        DWORD value;
    };
    const Row rows[] = {
        {L"two", ERROR_SUCCESS, 0x1234},
        {L"five", ERROR_MORE_DATA, 0xCAFE},
        {L"a", ERROR_SUCCESS, 0x61},
        {L"number", ERROR_SUCCESS, 0x00410042},
        {L"missing", ERROR_FILE_NOT_FOUND, 0xCAFE},
    };
    for (const Row& row : rows) {
        DWORD value = 0xCAFE;
        EXPECT_EQ(row.status, registry_.QueryDWORDValue(row.name, value)) << Narrow(row.name);
        EXPECT_EQ(row.value, value) << Narrow(row.name);
    }

    wchar_t text[8] = {};
    ULONG size = sizeof(text);
    EXPECT_EQ(ERROR_SUCCESS, registry_.QueryStringValue(L"number", text, size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(L'B', text[0]);
    EXPECT_EQ(L'A', text[1]);
}

} // namespace
