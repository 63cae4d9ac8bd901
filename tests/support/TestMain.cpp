#include "tests/support/TestSupport.h"

#include <cwchar>
#include <map>
#include <memory>

namespace HalyardTest {
namespace {

std::map<std::string, int (*)()>& Routines()
{
    static std::map<std::string, int (*)()> routines;
    return routines;
}

} // namespace

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

ChildRoutine::ChildRoutine(const char* name, int (*routine)())
{
    Routines()[name] = routine;
}

ChildResult RunChild(const char* routine, const ChildOptions& options, DWORD timeoutMs, const std::wstring& program)
{
    const TempFolder temp;
    ChildOptions withOutput = options;
    withOutput.outputFile = temp / L"output.txt";
    const std::wstring commandLine =
        L"\"" + (program.empty() ? ThisProgram() : program) + L"\" --child " + Widen(routine);
    const DWORD exitCode = RunAndWait(commandLine, timeoutMs, withOutput);
    return {exitCode, ReadFileBytes(withOutput.outputFile)};
}

ChildResult RunChildRecordingWine(const char* routine, const std::string& channels, const std::wstring& program)
{
    // Wine writes its channels to the Unix standard error, which every Windows process inherits from
    // the first one of its line, whatever handles it is given. So the child is started by a Unix
    // shell, with its output redirected there; the shell's exit code lands in a file.
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const auto unixPath = [unixFileName](const std::wstring& path) {
        const std::unique_ptr<char, void (*)(char*)> name(unixFileName(path.c_str()),
                                                          [](char* n) { HeapFree(GetProcessHeap(), 0, n); });
        return "'" + std::string(name ? name.get() : "") + "'";
    };
    const TempFolder temp;
    // Wine's loader by name: WINELOADER is not passed on to Unix programs.
    const std::string script = "WINEDEBUG='" + channels + "' '" + Narrow(EnvironmentVariable(L"WINELOADER")) + "' " +
                               unixPath(program.empty() ? ThisProgram() : program) + " --child " + routine + " >" +
                               unixPath(temp / L"output.txt") + " 2>&1; echo $? >" + unixPath(temp / L"exit");
    ChildProcess shell;
    if (unixFileName == nullptr || shell.Start(L"Z:\\bin\\sh -c \"" + Widen(script) + L"\"") != 0) {
        return {ERROR_NOT_SUPPORTED, "not under Wine, or no shell"};
    }
    for (int waited = 0; waited < 600 && !FileExists(temp / L"exit"); ++waited) {
        Sleep(100);
    }
    const std::string exitCode = ReadFileBytes(temp / L"exit");
    return {exitCode.empty() ? STILL_ACTIVE : static_cast<DWORD>(std::stoul(exitCode)), ReadFileBytes(temp / L"output.txt")};
}

LonelyCopy::LonelyCopy(const std::wstring& name) : path_(folder_ / name)
{
    CopyFileW(ThisProgram().c_str(), path_.c_str(), FALSE);
}

} // namespace HalyardTest

int wmain(int argc, wchar_t** argv)
{
    // A crash ends the process at once with its exception code: under Wine the crash debugger would
    // otherwise hold the test's output open until the test's time runs out.
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
    if (argc == 3 && wcscmp(argv[1], L"--child") == 0) {
        const auto routine = HalyardTest::Routines().find(HalyardDev::Narrow(argv[2]));
        return routine == HalyardTest::Routines().end() ? 97 : routine->second();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
