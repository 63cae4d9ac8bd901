// HalyardDebugCapture: runs a command under a debugger loop and prints everything it (and every
// process it starts) writes to the debugger output, one string a line, prefixed with the process id.
//   HalyardDebugCapture [--timeout ms] [--out file] program [arguments...]
#include "devtools/common/DebugCapture.h"
#include "devtools/common/Text.h"

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    DWORD timeoutMs = INFINITE;
    const wchar_t* outPath = nullptr;
    int first = 1;
    while (first + 1 < argc && wcsncmp(argv[first], L"--", 2) == 0) {
        if (wcscmp(argv[first], L"--timeout") == 0) {
            timeoutMs = wcstoul(argv[first + 1], nullptr, 10);
        } else if (wcscmp(argv[first], L"--out") == 0) {
            outPath = argv[first + 1];
        } else {
            break;
        }
        first += 2;
    }
    if (first >= argc) {
        fputs("usage: HalyardDebugCapture [--timeout ms] [--out file] program [arguments...]\n", stderr);
        return 2;
    }
    std::wstring commandLine;
    for (int i = first; i < argc; ++i) {
        commandLine += (commandLine.empty() ? L"\"" : L" \"") + std::wstring(argv[i]) + L"\"";
    }

    HalyardDev::DebugCapture capture;
    if (const DWORD error = capture.Start(commandLine)) {
        fprintf(stderr, "HalyardDebugCapture: cannot start the program: error %lu\n", error);
        return 3;
    }
    const bool ended = capture.WaitForAllExited(timeoutMs);
    capture.Stop();

    FILE* out = stdout;
    if (outPath != nullptr && _wfopen_s(&out, outPath, L"wb") != 0) {
        fprintf(stderr, "HalyardDebugCapture: cannot open the output file\n");
        return 3;
    }
    for (const HalyardDev::DebugString& s : capture.Strings()) {
        std::wstring text = s.text;
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
            text.pop_back();
        }
        fprintf(out, "[%08lX] %s\n", s.processId, HalyardDev::Narrow(text).c_str());
    }
    if (out != stdout) {
        fclose(out);
    }
    return ended ? 0 : 1;
}
