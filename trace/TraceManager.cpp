#include "trace/TraceManager.h"

#include "platform/UniqueResource.h"

#include <io.h>
#include <share.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <set>

namespace Orvanta::Deskweave {

std::atomic<TraceManager*> TraceManager::instance_{nullptr};
std::atomic<long> TraceManager::referenceCount_{0};
std::atomic<bool> TraceManager::ownerReferenceHeld_{false};
long TraceManager::lineCounter_ = 0;
std::wstring TraceManager::startedLogLocation_;

namespace {

class CriticalSectionGuard
{
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// The tracing subsystem's own failures can only go to the debugger: writing them into the log would
// recurse into the writer that is failing.
void Report(const wchar_t* operation, const wchar_t* text, long code)
{
    std::wstring report = operation;
    report += text;
    report += NumberToString(code);
    report += L"\n";
    OutputDebugStringW(report.c_str());
}

tm LocalTimeNow()
{
    __time64_t now = _time64(nullptr);
    tm local = {};
    _localtime64_s(&local, &now);
    return local;
}

// Writes "[%08X] [time] message" as one narrow write. Composed by hand: the runtime's formatting
// costs more than the file write itself, and mingw-w64's fwprintf would read "%s" as narrow anyway.
// Characters are narrowed as the runtime's default "C" locale does (U+0000 to U+00FF to the same
// byte); one that locale cannot represent becomes '?', where the runtime's conversion would stop in
// the middle of the line and lose its end.
void WriteLogLine(FILE* stream, DWORD threadId, const std::wstring& time, const wchar_t* message)
{
    static const char kHex[] = "0123456789ABCDEF";
    char line[1100];
    size_t length = 0;
    line[length++] = '[';
    for (int shift = 28; shift >= 0; shift -= 4) {
        line[length++] = kHex[(threadId >> shift) & 0xF];
    }
    line[length++] = ']';
    line[length++] = ' ';
    line[length++] = '[';
    for (wchar_t c : time) {
        line[length++] = static_cast<char>(c);
    }
    line[length++] = ']';
    line[length++] = ' ';
    for (const wchar_t* c = message; *c != L'\0' && length < sizeof(line) - 1; ++c) {
        line[length++] = *c <= 0xFF ? static_cast<char>(*c) : '?';
    }
    line[length] = '\0';
    fputs(line, stream);
}

FILE* OpenLogFile(const std::wstring& path)
{
    // Other processes may read the log while the agent runs, but neither write to it nor delete it.
    return _wfsopen(path.c_str(), L"a+", _SH_DENYWR);
}

} // namespace

std::wstring FormatLogFileTime()
{
    const tm local = LocalTimeNow();
    wchar_t buffer[32] = {};
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

std::wstring FormatLogLineTime()
{
    const tm local = LocalTimeNow();
    wchar_t buffer[32] = {};
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%02d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

std::wstring NumberToString(long code)
{
    wchar_t buffer[32] = {};
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%ld", code);
    return buffer;
}

TraceManager::TraceManager() : baseName_(kBaseName), extension_(kExtension)
{
    InitializeCriticalSection(&lock_);
    if (maxLogFileSizeMb_ == 0) {
        maxLogFileSizeMb_ = 1;
    }
    if (numberOfLogFilesKept_ < 3) {
        numberOfLogFilesKept_ = 3;
    }
}

TraceManager::~TraceManager()
{
    logStream_.reset();
    DeleteCriticalSection(&lock_);
}

bool TraceManager::Initialize()
{
    try {
        TraceManager* created = new TraceManager();
        TraceManager* expected = nullptr;
        if (!instance_.compare_exchange_strong(expected, created)) {
            delete created;
            return false;
        }
        if (!created->Start()) {
            // No writer can hold a reference to an instance that never started, so it goes at once
            // instead of with the first trace.
            instance_.store(nullptr);
            delete created;
            return false;
        }
        referenceCount_.fetch_add(1);
        ownerReferenceHeld_.store(true);
        return true;
    } catch (const std::exception& e) {
        OutputDebugStringA(e.what());
        return false;
    }
}

void TraceManager::Uninitialize()
{
    // Only the owner's reference is given back, and only once: a second call must not take a
    // reference that a writer holds, or the instance would be destroyed under that writer.
    if (ownerReferenceHeld_.exchange(false)) {
        Release();
    }
}

void TraceManager::Write(const wchar_t* message)
{
    bool holdsReference = false;
    try {
        // A count of zero means the instance is gone or being destroyed: it may only be raised from a
        // value above zero, so no writer can revive an instance that the final release is tearing down.
        long count = referenceCount_.load();
        while (count > 0 && !referenceCount_.compare_exchange_weak(count, count + 1)) {
        }
        if (count <= 0) {
            return;
        }
        holdsReference = true;
        if (TraceManager* instance = instance_.load()) {
            instance->WriteLine(message);
        }
        holdsReference = false;
        Release();
    } catch (const std::exception& e) {
        OutputDebugStringA(e.what());
        if (holdsReference) {
            Release();
        }
    }
}

void TraceManager::Release()
{
    const long count = --referenceCount_;
    if (count > 0) {
        return;
    }
    if (count < 0) {
        ++referenceCount_;
        return;
    }
    // Exchange, not load-then-clear: whichever release reaches zero first takes the instance, and only it.
    delete instance_.exchange(nullptr);
}

long TraceManager::LinesWritten()
{
    return lineCounter_;
}

std::wstring TraceManager::StartedLogLocation()
{
    return startedLogLocation_;
}

void TraceManager::WriteLine(const wchar_t* message)
{
    CriticalSectionGuard guard(lock_);
    try {
        if (lineCounter_ % 100 == 0) {
            RotateLogFileIfNeeded();
        }
        // The runtime's clock and local time cost microseconds a call, and the text changes once a
        // second: the system clock, which is cheap, says when to format it again.
        FILETIME systemTime = {};
        GetSystemTimeAsFileTime(&systemTime);
        const unsigned long long second =
            ((static_cast<unsigned long long>(systemTime.dwHighDateTime) << 32) | systemTime.dwLowDateTime) /
            10000000ULL;
        if (second != lineTimeSecond_) {
            lineTimeSecond_ = second;
            lineTimeText_ = FormatLogLineTime();
        }
        if (logStream_) {
            WriteLogLine(logStream_.get(), GetCurrentThreadId(), lineTimeText_, message);
            fflush(logStream_.get());
        }
        ++lineCounter_;
    } catch (const std::exception& e) {
        OutputDebugStringA(e.what());
    }
}

bool TraceManager::Start()
{
    const std::wstring folder = GetLogFilesPath();
    startedLogLocation_ = folder;

    WIN32_FIND_DATAW found = {};
    UniqueFindHandle search(FindFirstFileW(folder.c_str(), &found));
    if (search) {
        search.reset();
    } else if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        Report(L"TraceManager::Start", L":CreateDirectory: failed with last error: ", GetLastError());
        return false;
    }

    logFolder_ = folder;
    DeleteOlderLogFilesIfNeeded();

    logFilePath_ = NewLogFilePath();
    logStream_.reset(OpenLogFile(logFilePath_));
    if (!logStream_) {
        Report(L"TraceManager::Start", L":_wfopen_s: failed with errno: ", errno);
        return false;
    }
    startedLogLocation_ = logFilePath_;
    return true;
}

std::wstring TraceManager::GetLogFilesPath()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    std::wstring path;
    if (GetTempPathW(_countof(buffer), buffer) != 0) {
        path = buffer;
    } else {
        Report(L"TraceManager::GetLogFilesPath", L":GetTempPath: failed with last error: ", GetLastError());
    }
    path += L"Orvanta";
    return path;
}

bool TraceManager::ReadLogFileSize(long long& size)
{
    // The stream's own handle: opening the file by name costs about a millisecond under Wine, and
    // every writer waits for this check. The stream is flushed after every line, so the size on disk
    // is current, and it is the file the lines go to even after a rotation that failed.
    LARGE_INTEGER current = {};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(logStream_.get()))), &current)) {
        Report(L"TraceManager::RotateLogFileIfNeeded", L":GetFileInformationByHandle: failed with last error: ",
               GetLastError());
        return false;
    }
    size = current.QuadPart;
    return true;
}

void TraceManager::RotateLogFileIfNeeded()
{
    {
        CriticalSectionGuard guard(lock_);
        try {
            long long size = 0;
            if (!ReadLogFileSize(size)) {
                return;
            }
            const long long threshold = static_cast<long long>(maxLogFileSizeMb_ << 20);
            if (size > threshold) {
                // A new file that cannot be opened (its name held by another program, a full disk) leaves
                // the lines in the file that is too big, which is still the one measured: the next check
                // tries again under the name of its own second, until one opens.
                logFilePath_ = NewLogFilePath();
                UniqueStream stream(OpenLogFile(logFilePath_));
                if (!stream) {
                    Report(L"TraceManager::RotateLogFileIfNeeded", L":_wfopen_s: failed with errno: ", errno);
                    return;
                }
                logStream_ = std::move(stream);
            }
        } catch (const std::exception& e) {
            OutputDebugStringA(e.what());
        }
    }
    // Every check searches the folder: its last-write time cannot say whether it changed, since file
    // systems keep it in ticks of 15.6 ms (NTFS) or 2 s (FAT), and a file created within the tick of an
    // earlier search leaves it as it was.
    DeleteOlderLogFilesIfNeeded();
}

void TraceManager::DeleteOlderLogFilesIfNeeded()
{
    try {
        // Fixed-width time fields with the year first: ordinal order is creation order, oldest first.
        std::set<std::wstring> names;

        WIN32_FIND_DATAW found = {};
        UniqueFindHandle search(FindFirstFileExW(SearchPattern(logFolder_).c_str(), FindExInfoStandard, &found,
                                                 FindExSearchNameMatch, nullptr, 0));
        if (!search) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":FindFirstFileEx: failed with last error: ",
                       error);
            }
            return;
        }
        do {
            names.insert(found.cFileName);
        } while (FindNextFileW(search.get(), &found));
        const DWORD error = GetLastError();
        search.reset();
        if (error != ERROR_NO_MORE_FILES) {
            Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":FindNextFile: failed with last error: ", error);
            return;
        }

        size_t toDelete = names.size() > numberOfLogFilesKept_ ? names.size() - numberOfLogFilesKept_ : 0;
        // A file that cannot be deleted still counts: a newer one is never taken in its place.
        for (auto name = names.begin(); toDelete > 0; ++name, --toDelete) {
            const std::wstring path = logFolder_ + L"\\" + *name;
            if (!DeleteFileW(path.c_str())) {
                Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":DeleteFile: failed with last error: ",
                       GetLastError());
            }
        }
    } catch (const std::exception& e) {
        OutputDebugStringA(e.what());
    }
}

std::wstring TraceManager::NewLogFilePath() const
{
    return logFolder_ + L"\\" + baseName_ + L"_" + FormatLogFileTime() + extension_;
}


} // namespace Orvanta::Deskweave
