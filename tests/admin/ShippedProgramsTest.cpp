// The programs the package ships, as Windows will load them: their PE headers, manifests and import
// tables, read from the files; and the package's own tables.
#include "tests/support/TestSupport.h"

#include <msiquery.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>

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

// What the package is built from: every program in it, present and future.
const std::wstring kStaging = Widen(std::string("Z:") + HALYARD_BINARY_DIR + "/package/staging");

// The names of the libraries an image imports at its start, read from its import directory.
std::set<std::string> StaticImports(const std::string& image)
{
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 nt = {};
    memcpy(&dos, image.data(), sizeof(dos));
    memcpy(&nt, image.data() + dos.e_lfanew, sizeof(nt));
    const size_t sections =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const auto at = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section = {};
            memcpy(&section, image.data() + sections + i * sizeof(section), sizeof(section));
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                return section.PointerToRawData + (rva - section.VirtualAddress);
            }
        }
        return 0;
    };
    std::set<std::string> names;
    IMAGE_IMPORT_DESCRIPTOR entry = {};
    for (size_t next = at(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         next != 0 && (memcpy(&entry, image.data() + next, sizeof(entry)), entry.Name != 0); next += sizeof(entry)) {
        std::string name = image.c_str() + at(entry.Name);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        names.insert(name);
    }
    return names;
}

TEST(ShippedPrograms, AreTerminalServerAwareAndKeepAslrAndDep)
{
    const std::wstring staging = kStaging;
    const std::vector<std::wstring> programs = ListFolder(staging, L"*.exe");
    EXPECT_GE(programs.size(), 2u) << "no package staging folder in " << Narrow(staging);
    const WORD required = IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE | IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                          IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    for (const std::wstring& program : programs) {
        EXPECT_EQ(required, DllCharacteristics(ReadFileBytes(staging + L"\\" + program)) & required) << Narrow(program);
    }
}

// Windows refuses to start a program whose manifest it cannot parse (14001), and tells a program
// without one that it runs on Windows 8; Wine runs either. So the manifest is read back from each
// program's resources, made into an activation context as Windows makes one, and checked to the letter.
TEST(ShippedPrograms, CarryAManifestThatRunsThemAsInvokerOnEveryWindowsFromVistaOn)
{
    const std::vector<std::wstring> programs = ListFolder(kStaging, L"*.exe");
    EXPECT_EQ(3u, programs.size());
    for (const std::wstring& program : programs) {
        SCOPED_TRACE(Narrow(program));
        const std::wstring path = kStaging + L"\\" + program;
        const UniqueModule image(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        const HRSRC found = image ? FindResourceW(image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
        ASSERT_NE(nullptr, found);
        const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image.get(), found))),
                                   SizeofResource(image.get(), found));
        ACTCTXW context = {};
        context.cbSize = sizeof(context);
        context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        context.lpSource = path.c_str();
        context.lpResourceName = MAKEINTRESOURCEW(1);
        const HANDLE activation = CreateActCtxW(&context);
        EXPECT_NE(INVALID_HANDLE_VALUE, activation) << GetLastError();
        ReleaseActCtx(activation);

        EXPECT_EQ(0u, manifest.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<assembly "
                                    "xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"));
        const std::string trust = "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">";
        const std::string level = "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>";
        const std::string compatibility = "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">";
        EXPECT_LT(manifest.find(trust), manifest.find(level));
        EXPECT_NE(std::string::npos, manifest.find(compatibility));
        EXPECT_EQ(std::string::npos, manifest.find("longPathAware"));
        std::set<std::string> ids;
        const std::regex supported("<supportedOS Id=\"(\\{[0-9a-f-]{36}\\})\"/>");
        for (std::sregex_iterator it(manifest.begin(), manifest.end(), supported), end; it != end; ++it) {
            ids.insert((*it)[1].str());
        }
        // Windows Vista, 7, 8, 8.1, and 10 and 11.
        EXPECT_EQ((std::set<std::string>{"{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                                         "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                         "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}),
                  ids);
        // Every element closed, in order.
        std::vector<std::string> open;
        const std::regex tag("<(/?)([A-Za-z]+)[^>]*?(/?)>");
        for (std::sregex_iterator it(manifest.begin(), manifest.end(), tag), end; it != end; ++it) {
            if ((*it)[1].length() > 0) {
                EXPECT_TRUE(!open.empty() && open.back() == (*it)[2].str()) << (*it)[0].str();
                if (!open.empty()) {
                    open.pop_back();
                }
            } else if ((*it)[3].length() == 0) {
                open.push_back((*it)[2].str());
            }
        }
        EXPECT_TRUE(open.empty());
    }
}

// The administrators' tools run as administrators and as the system account, from the client's folder:
// no library outside Windows' known DLLs may be loaded from beside them. Their import tables name
// kernel32 and msvcrt only; what else they use is loaded on first use from the system folder. Libraries
// planted beside copies of them under those names are never loaded.
TEST(ShippedPrograms, TheToolsLoadNoLibraryFromBesideThem)
{
    for (const wchar_t* tool : {L"HalyardStop.exe", L"HalyardCheck.exe"}) {
        EXPECT_EQ((std::set<std::string>{"kernel32.dll", "msvcrt.dll"}),
                  StaticImports(ReadFileBytes(kStaging + L"\\" + tool)))
            << Narrow(tool);
    }
    const TempFolder folder;
    for (const wchar_t* file : {L"HalyardStop.exe", L"HalyardCheck.exe"}) {
        ASSERT_TRUE(CopyFileW((kStaging + L"\\" + file).c_str(), (folder / file).c_str(), FALSE));
    }
    for (const wchar_t* planted : {L"USERENV.dll", L"WTSAPI32.dll", L"VERSION.dll"}) {
        ASSERT_TRUE(
            CopyFileW(BesideThisProgram(L"HalyardPlantedLibrary.dll").c_str(), (folder / planted).c_str(), FALSE));
    }
    // Windows takes a library beside the program before the system's; Wine its own built-in one unless
    // told otherwise, program by program.
    std::vector<std::unique_ptr<ScopedRegistryKey>> nativeFirst;
    for (const wchar_t* tool : {L"HalyardStop.exe", L"HalyardCheck.exe"}) {
        nativeFirst.push_back(std::make_unique<ScopedRegistryKey>(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" +
                                                                                         std::wstring(tool) +
                                                                                         L"\\DllOverrides"));
        for (const wchar_t* library : {L"userenv", L"wtsapi32", L"version"}) {
            nativeFirst.back()->SetString(library, L"native,builtin");
        }
    }
    const ChildOptions options = {{{L"HALYARD_PLANT_MARKER", folder / L"loaded.txt"}}, {}, {}};
    EXPECT_EQ(0u, RunAndWait(L"\"" + (folder / L"HalyardStop.exe") + L"\" /timeout:0", 20000, options));
    EXPECT_NE(3u, RunAndWait(L"\"" + (folder / L"HalyardCheck.exe") + L"\" /json", 20000, options));
    EXPECT_FALSE(FileExists(folder / L"loaded.txt")) << ReadFileBytes(folder / L"loaded.txt");
}

// What the package's own tables promise: the stop and the starts never fail an install, an upgrade or
// an uninstall, whatever happens in them (their result ignored), the folder check does, and Restart
// Manager is off, since the package stops and starts the agents itself.
TEST(ShippedPackage, ItsAgentsActionsCannotFailItAndRestartManagerIsOff)
{
    const std::vector<std::wstring> packages =
        ListFolder(Widen(std::string("Z:") + HALYARD_BINARY_DIR + "/package"), L"Halyard-*-x64.msi");
    ASSERT_EQ(1u, packages.size());
    MSIHANDLE database = 0;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS),
              MsiOpenDatabaseW((Widen(std::string("Z:") + HALYARD_BINARY_DIR + "/package/") + packages[0]).c_str(),
                               MSIDBOPEN_READONLY, &database));
    PMSIHANDLE owner = database;
    const auto query = [database](const wchar_t* sql) {
        std::map<std::string, std::string> rows;
        PMSIHANDLE view = 0;
        PMSIHANDLE record = 0;
        if (MsiDatabaseOpenViewW(database, sql, &view) != ERROR_SUCCESS || MsiViewExecute(view, 0) != ERROR_SUCCESS) {
            return rows;
        }
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            wchar_t key[128] = {};
            wchar_t value[128] = {};
            DWORD keyLength = _countof(key);
            DWORD valueLength = _countof(value);
            MsiRecordGetStringW(record, 1, key, &keyLength);
            MsiRecordGetStringW(record, 2, value, &valueLength);
            rows[Narrow(key)] = Narrow(value);
        }
        return rows;
    };
    const auto actions = query(L"SELECT `Action`, `Type` FROM `CustomAction`");
    const auto type = [&actions](const std::string& action) {
        return actions.count(action) != 0 ? std::stoi(actions.at(action)) : -1;
    };
    // msidbCustomActionTypeContinue (64): the action's result is ignored; InScript (1024), rollback (256).
    for (const char* action : {"StopAgents", "StartAgents", "StartAgentsAfterRollback"}) {
        EXPECT_EQ(64, type(action) & 64) << action;
        EXPECT_EQ(1024, type(action) & 1024) << action;
    }
    EXPECT_EQ(256, type("StartAgentsAfterRollback") & 256);
    EXPECT_EQ(0, type("CheckInstallFolder") & (64 | 1024));
    EXPECT_EQ("Disable", query(L"SELECT `Property`, `Value` FROM `Property`")["MSIRESTARTMANAGERCONTROL"]);
}

// The guide's way out for a machine whose installed package checks its stop's result: the script that
// makes Windows Installer's cached copy ignore it, after which the uninstall goes through. HALYARD_PACKAGE
// names the package to install; run elevated.
// Label: windows
TEST(ShippedPackage, TheGuidesScriptLetsTheCachedPackageOfAnOlderBuildBeUninstalled)
{
    const std::wstring package = EnvironmentVariable(L"HALYARD_PACKAGE");
    if (UnderWine() || package.empty()) {
        GTEST_SKIP() << "Windows Installer's cache and PowerShell, with a package (HALYARD_PACKAGE) to install";
    }
    // An older build's package: its stop checked, and (as on such machines) not loadable.
    const TempFolder temp;
    const std::wstring older = temp / L"older.msi";
    ASSERT_TRUE(CopyFileW(package.c_str(), older.c_str(), FALSE));
    MSIHANDLE database = 0;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiOpenDatabaseW(older.c_str(), MSIDBOPEN_TRANSACT, &database));
    MSIHANDLE view = 0;
    MsiDatabaseOpenViewW(database, L"UPDATE CustomAction SET Type=3073, Target='Gone' WHERE Action='StopAgents'",
                         &view);
    EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiViewExecute(view, 0));
    MsiCloseHandle(view);
    MsiDatabaseCommit(database);
    MsiCloseHandle(database);
    wchar_t programs[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programs, MAX_PATH);
    const std::wstring client = std::wstring(programs) + L"\\Halyard test client";
    CreateDirectoryW(client.c_str(), nullptr);
    CopyFileW(BesideThisProgram(kEngineLibrary).c_str(), (client + L"\\" + kEngineLibrary).c_str(), FALSE);
    const std::wstring msiexec = L"msiexec /qn /i \"" + older + L"\" INSTALLDIR=\"" + client + L"\"";
    ASSERT_EQ(0u, RunAndWait(msiexec, 300000));
    EXPECT_EQ(1603u, RunAndWait(L"msiexec /qn /x \"" + older + L"\"", 300000)) << "the stop that cannot load fails it";
    // The guide's script, as it stands there: the indented lines that follow its sentence.
    const std::string guide = ReadFileBytes(Widen(HALYARD_SOURCE_DIR) + L"\\docs\\ADMINISTRATION.md");
    const size_t from = guide.find("\n    $installer = New-Object -ComObject WindowsInstaller.Installer");
    ASSERT_NE(std::string::npos, from);
    const std::string script = guide.substr(from, guide.find("\n\n", from + 1) - from);
    ASSERT_TRUE(WriteFileBytes(temp / L"script.ps1", script));
    EXPECT_EQ(0u, RunAndWait(L"powershell -NoProfile -ExecutionPolicy Bypass -File \"" + (temp / L"script.ps1") + L"\"",
                             60000));
    EXPECT_EQ(0u, RunAndWait(L"msiexec /qn /x \"" + older + L"\"", 300000));
}

} // namespace
