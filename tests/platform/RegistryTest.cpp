// Registry reads at their boundaries, on real values of every type under a test-only key.
#include "tests/support/TestSupport.h"
#include "platform/Registry.h"

using namespace HalyardTest;

namespace {

TEST(RegistryKey, ValuesOfAnyTypeAreReadAsRawBytesUpToTheBufferAndNothingIsTakenOnMoreData)
{
    ScopedRegistryKey key(HKEY_CURRENT_USER, L"Software\\HalyardTest\\" + UniqueSuffix());
    key.SetString(L"fits", std::wstring(29, L'f')); // 60 bytes with its terminator
    key.SetString(L"over", std::wstring(30, L'o')); // 62 bytes
    key.SetBytes(L"two", REG_BINARY, std::string("\x34\x12", 2));
    key.SetBytes(L"five", REG_BINARY, std::string("\x01\x02\x03\x04\x05", 5));
    key.SetString(L"a", L"a"); // "a" and its terminator: 4 bytes
    key.SetDword(L"number", 0x00410042);
    Registry registry;
    ASSERT_EQ(ERROR_SUCCESS, registry.Open(HKEY_CURRENT_USER, key.SubKey().c_str(), KEY_READ));

    const struct {
        const wchar_t* name;
        LONG status;
        ULONG characters; // what the size comes back as; the buffer's 60 bytes when nothing was taken
        std::wstring text;
    } strings[] = {{L"fits", ERROR_SUCCESS, 30, std::wstring(29, L'f')},
                   {L"over", ERROR_MORE_DATA, 60, L""},
                   {L"number", ERROR_SUCCESS, 2, L"BA"}};
    for (const auto& row : strings) {
        wchar_t buffer[30] = {};
        ULONG size = sizeof(buffer);
        EXPECT_EQ(row.status, registry.QueryStringValue(row.name, buffer, size)) << Narrow(row.name);
        EXPECT_EQ(row.characters, size) << Narrow(row.name);
        if (row.status == ERROR_SUCCESS) {
            EXPECT_EQ(row.text, std::wstring(buffer, wcsnlen(buffer, row.characters))) << Narrow(row.name);
        }
    }
    const struct {
        const wchar_t* name;
        LONG status;
        DWORD value; // 0xCAFE: left as it was
    } numbers[] = {{L"two", ERROR_SUCCESS, 0x1234},
                   {L"five", ERROR_MORE_DATA, 0xCAFE},
                   {L"a", ERROR_SUCCESS, 0x61},
                   {L"number", ERROR_SUCCESS, 0x00410042},
                   {L"missing", ERROR_FILE_NOT_FOUND, 0xCAFE}};
    for (const auto& row : numbers) {
        DWORD value = 0xCAFE;
        EXPECT_EQ(row.status, registry.QueryDWORDValue(row.name, value)) << Narrow(row.name);
        EXPECT_EQ(row.value, value) << Narrow(row.name);
    }
}

} // namespace
