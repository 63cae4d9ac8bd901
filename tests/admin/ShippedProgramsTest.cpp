// The programs the package ships, as Windows will load them: their PE headers, read from the files.
#include "tests/support/TestSupport.h"

using namespace HalyardTest;

namespace {

// The optional header's DllCharacteristics of a 64-bit image; 0 when the file is no such image.
WORD DllCharacteristics(const std::string& image)
{
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 nt = {};
    if (image.size() < sizeof(dos)) {
        return 0;
    }
    memcpy(&dos, image.data(), sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || image.size() < dos.e_lfanew + sizeof(nt)) {
        return 0;
    }
    memcpy(&nt, image.data() + dos.e_lfanew, sizeof(nt));
    return nt.Signature == IMAGE_NT_SIGNATURE && nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
               ? nt.OptionalHeader.DllCharacteristics
               : 0;
}

TEST(ShippedPrograms, AreTerminalServerAwareAndKeepAslrAndDep)
{
    // What the package is built from: every program in it, present and future.
    const std::wstring staging = Widen(std::string("Z:") + HALYARD_BINARY_DIR + "/package/staging");
    const std::vector<std::wstring> programs = ListFolder(staging, L"*.exe");
    EXPECT_GE(programs.size(), 2u) << "no package staging folder in " << Narrow(staging);
    const WORD required = IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE | IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                          IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    for (const std::wstring& program : programs) {
        EXPECT_EQ(required, DllCharacteristics(ReadFileBytes(staging + L"\\" + program)) & required) << Narrow(program);
    }
}

} // namespace
