#include "tests/support/TestSupport.h"

#include <algorithm>
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

int FindMessage(const Messages& messages, const std::string& needle, int from)
{
    for (int i = std::max(from, 0); i < static_cast<int>(messages.size()); ++i) {
        if (messages[i].find(needle) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

std::vector<int> FindInOrder(const Messages& messages, const Messages& needles)
{
    std::vector<int> found;
    int from = 0;
    for (const std::string& needle : needles) {
        const int at = FindMessage(messages, needle, from);
        found.push_back(at);
        from = at < 0 ? from : at + 1;
    }
    return found;
}

Messages ReadLines(const std::wstring& path)
{
    Messages lines;
    const std::string text = ReadFileBytes(path);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const size_t length = end > start && text[end - 1] == '\r' ? end - start - 1 : end - start;
        lines.push_back(text.substr(start, length));
    }
    return lines;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name") != nullptr;
}

void EndCrashedProgramsAtOnce()
{
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (UnderWine()) {
        const DWORD no = 0;
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", L"ShowCrashDialog", REG_DWORD, &no, sizeof(no));
    }
}

std::string UnixPath(const std::wstring& path)
{
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const std::unique_ptr<char, void (*)(char*)> name(unixFileName != nullptr ? unixFileName(path.c_str()) : nullptr,
                                                      [](char* n) { HeapFree(GetProcessHeap(), 0, n); });
    return name ? name.get() : "";
}

// Starts a Unix shell script; Wine gives no handle to wait on a Unix process by, so callers watch
// for its effects. False when it could not be started.
bool StartUnixShell(const std::string& script)
{
    ChildProcess shell;
    return shell.Start(L"Z:\\bin\\sh -c \"" + Widen(script) + L"\"") == 0;
}

// Whether a path exists within 5 s, or (with `exists` false) is gone.
bool AwaitPath(const std::wstring& path, bool exists)
{
    for (int waited = 0; waited < 500; ++waited) {
        if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

bool DeleteBehindWindows(const std::wstring& path)
{
    const std::string unix = UnixPath(path);
    return !unix.empty() && StartUnixShell("rm -f '" + unix + "'") && AwaitPath(path, false);
}

ChildResult RunChildRecordingWine(const char* routine, const std::string& channels, const std::wstring& program)
{
    // Wine writes its channels to the Unix standard error, which every Windows process inherits from
    // the first one of its line, whatever handles it is given. So the child is started by a Unix
    // shell, with its output redirected there; the shell's exit code lands in a file.
    const auto quoted = [](const std::wstring& path) { return "'" + UnixPath(path) + "'"; };
    const TempFolder temp;
    // Wine's loader by name: WINELOADER is not passed on to Unix programs.
    const std::string script = "WINEDEBUG='" + channels + "' '" + Narrow(EnvironmentVariable(L"WINELOADER")) + "' " +
                               quoted(program.empty() ? ThisProgram() : program) + " --child " + routine + " >" +
                               quoted(temp / L"output.txt") + " 2>&1; echo $? >" + quoted(temp / L"exit");
    if (UnixPath(temp.Path()).empty() || !StartUnixShell(script)) {
        return {ERROR_NOT_SUPPORTED, "not under Wine, or no shell"};
    }
    for (int waited = 0; waited < 600 && !FileExists(temp / L"exit"); ++waited) {
        Sleep(100);
    }
    const std::string exitCode = ReadFileBytes(temp / L"exit");
    return {exitCode.empty() ? STILL_ACTIVE : static_cast<DWORD>(std::stoul(exitCode)),
            ReadFileBytes(temp / L"output.txt")};
}

WineDrive::WineDrive(const std::wstring& folder)
{
    const std::string devices = Narrow(EnvironmentVariable(L"WINEPREFIX")) + "/dosdevices/";
    for (wchar_t letter = L'R'; letter <= L'Y' && letter_.empty(); ++letter) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        const std::string link = devices + static_cast<char>(letter | 0x20) + ":";
        if ((GetLogicalDrives() & (1u << (letter - L'A'))) == 0 &&
            GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES &&
            StartUnixShell("ln -s '" + UnixPath(folder) + "' '" + link + "'") && AwaitPath(root, true)) {
            letter_ = root.substr(0, 2);
            link_ = link;
        }
    }
}

WineDrive::~WineDrive()
{
    if (!link_.empty() && StartUnixShell("rm -f '" + link_ + "'")) {
        AwaitPath(letter_ + L"\\", false);
    }
}

UserEnvironmentValue::UserEnvironmentValue(const wchar_t* name, const std::wstring& value) : name_(name)
{
    wchar_t old[MAX_PATH] = {};
    DWORD size = sizeof(old);
    had_ = RegGetValueW(HKEY_CURRENT_USER, L"Environment", name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, old, &size) ==
           ERROR_SUCCESS;
    old_ = old;
    Set(value);
}

UserEnvironmentValue::~UserEnvironmentValue()
{
    if (had_) {
        Set(old_);
    } else {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", name_);
    }
}

void UserEnvironmentValue::Set(const std::wstring& value) const
{
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", name_, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
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
