#include "trace/TraceManager.h"

#include "platform/UniqueResource.h"

#include <io.h>
#include <share.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <algorithm>
#include <set>

namespace Orvanta::Deskweave {

std::atomic<TraceManager*> TraceManager::instance_{nullptr};
std::atomic<long> TraceManager::referenceCount_{0};
std::atomic<bool> TraceManager::ownerReferenceHeld_{false};
long TraceManager::lineCounter_ = 0;
std::wstring TraceManager::startedLogLocation_;
std::atomic<TraceManager::FileWriter> TraceManager::fileWriter_{
    [](HANDLE file, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* offset) -> BOOL {
        return WriteFile(file, bytes, size, written, offset);
    }};

namespace {

// The longest message a log line carries, as Trace cuts it.
constexpr size_t kMostMessage = 1022;

// Holds the lock for its scope; with a bounded wait, only if it could be taken within it.
class CriticalSectionGuard
{
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section, DWORD waitMs = INFINITE) : section_(section)
    {
        if (waitMs == INFINITE) {
            EnterCriticalSection(&section_);
            held_ = true;
            return;
        }
        const ULONGLONG deadline = GetTickCount64() + waitMs;
        while (!(held_ = TryEnterCriticalSection(&section_) != FALSE) && GetTickCount64() < deadline) {
            Sleep(1);
        }
    }
    ~CriticalSectionGuard()
    {
        if (held_) {
            LeaveCriticalSection(&section_);
        }
    }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
    bool Held() const { return held_; }

private:
    CRITICAL_SECTION& section_;
    bool held_ = false;
};

// The tracing subsystem's own failures can only go to the debugger: writing them into the log would
// recurse into the writer that is failing. Composed on the stack: a failing write may be the crash
// report's, on a heap that cannot be trusted.
void Report(const wchar_t* operation, const wchar_t* text, long code)
{
    wchar_t report[320] = {};
    _snwprintf_s(report, _countof(report), _TRUNCATE, L"%s%s%ld\n", operation, text, code);
    OutputDebugStringW(report);
}

tm LocalTimeAt(long long secondsFromNow)
{
    __time64_t when = _time64(nullptr) + secondsFromNow;
    tm local = {};
    _localtime64_s(&local, &when);
    return local;
}

FILE* OpenLogFile(const std::wstring& path)
{
    // Other processes may read the log while the agent runs, but neither write to it nor delete it.
    return _wfsopen(path.c_str(), L"a+", _SH_DENYWR);
}

} // namespace

std::wstring FormatLogFileTime(long long secondsFromNow)
{
    const tm local = LocalTimeAt(secondsFromNow);
    wchar_t buffer[32] = {};
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

std::wstring FormatLogLineTime()
{
    wchar_t buffer[32] = {};
    FormatLogLineTime(buffer);
    return buffer;
}

void FormatLogLineTime(wchar_t (&buffer)[32])
{
    const tm local = LocalTimeAt(0);
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%02d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
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

void TraceManager::SetFileWriter(FileWriter writer)
{
    fileWriter_.store(writer);
}

void TraceManager::Write(const wchar_t* message, DWORD lockWaitMs)
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
            instance->WriteLine(message, lockWaitMs);
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

void TraceManager::WriteLine(const wchar_t* message, DWORD lockWaitMs)
{
    CriticalSectionGuard guard(lock_, lockWaitMs);
    if (!guard.Held()) {
        return;
    }
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
            FormatLogLineTime(lineTimeText_);
        }
        if (logStream_) {
            for (const std::wstring& note : notes_) {
                if (lostLines_ > 0 || !AppendLine(note.c_str())) {
                    LineLost(lostLines_ > 0 ? lostError_ : GetLastError());
                }
            }
            notes_.clear();
            if (lostLines_ > 0) {
                wchar_t lost[160] = {};
                _snwprintf_s(lost, _countof(lost), _TRUNCATE,
                             L"Lost %ld log lines between %s and %s: writing the log failed with error %lu.\n",
                             lostLines_, lostFirst_, lostLast_, lostError_);
                if (AppendLine(lost)) {
                    lostLines_ = 0;
                }
            }
            // After lines that could not be written, no line goes in before the one that counts them.
            if (lostLines_ > 0 || !AppendLine(message)) {
                LineLost(lostLines_ > 0 ? lostError_ : GetLastError());
            }
        }
        ++lineCounter_;
    } catch (const std::exception& e) {
        OutputDebugStringA(e.what());
    }
}

bool TraceManager::AppendLine(const wchar_t* message)
{
    // "[%08X] [time] message", composed by hand: the runtime's formatting costs more than the file
    // write itself, and mingw-w64's fwprintf would read "%s" as narrow anyway. "\n" becomes CR LF, as
    // a text-mode stream writes it. Characters are narrowed as the runtime's default "C" locale does
    // (U+0000 to U+00FF to the same byte); one that locale cannot represent becomes '?', where the
    // runtime's conversion would stop in the middle of the line and lose its end.
    static const char kHex[] = "0123456789ABCDEF";
    char line[64 + 2 * kMostMessage];
    size_t length = 0;
    const DWORD threadId = GetCurrentThreadId();
    line[length++] = '[';
    for (int shift = 28; shift >= 0; shift -= 4) {
        line[length++] = kHex[(threadId >> shift) & 0xF];
    }
    line[length++] = ']';
    line[length++] = ' ';
    line[length++] = '[';
    for (const wchar_t* c = lineTimeText_; *c != L'\0'; ++c) {
        line[length++] = static_cast<char>(*c);
    }
    line[length++] = ']';
    line[length++] = ' ';
    for (size_t i = 0; message[i] != L'\0' && i < kMostMessage; ++i) {
        if (message[i] == L'\n') {
            line[length++] = '\r';
        }
        line[length++] = message[i] <= 0xFF ? static_cast<char>(message[i]) : '?';
    }
    // One write at the file's end, whole or not at all: a write cut short by a full disk leaves part
    // of a line, which is cut off again, so that the next line does not continue a torn one.
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(logFileEnd_);
    at.OffsetHigh = static_cast<DWORD>(logFileEnd_ >> 32);
    DWORD written = 0;
    const BOOL wrote = fileWriter_.load()(logFile_, line, static_cast<DWORD>(length), &written, &at);
    if (wrote && written == length) {
        logFileEnd_ += length;
        return true;
    }
    const DWORD error = wrote ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
    if (written > 0) {
        LARGE_INTEGER end = {};
        end.QuadPart = static_cast<LONGLONG>(logFileEnd_);
        if (SetFilePointerEx(logFile_, end, nullptr, FILE_BEGIN)) {
            SetEndOfFile(logFile_);
        }
    }
    SetLastError(error);
    return false;
}

void TraceManager::LineLost(DWORD error)
{
    if (lostLines_ == 0) {
        wcscpy_s(lostFirst_, lineTimeText_);
        Report(L"TraceManager::WriteLine",
               L":WriteFile: failed, and log lines are lost until one can be written again; last error: ",
               static_cast<long>(error));
    }
    wcscpy_s(lostLast_, lineTimeText_);
    lostError_ = error;
    ++lostLines_;
}

bool TraceManager::UseStream(UniqueStream stream)
{
    LARGE_INTEGER size = {};
    // The C runtime hands out its file's Win32 handle as an integer.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream.get())));
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        return false;
    }
    logStream_ = std::move(stream);
    logFile_ = file;
    logFileEnd_ = static_cast<unsigned long long>(size.QuadPart);
    return true;
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
        Report(L"TraceManager::Start", L":CreateDirectory: failed with last error: ",
               static_cast<long>(GetLastError()));
        return false;
    }

    logFolder_ = folder;
    DeleteOlderLogFilesIfNeeded();

    logFilePath_ = NewLogFilePath();
    UniqueStream stream(OpenLogFile(logFilePath_));
    if (!stream || !UseStream(std::move(stream))) {
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
        Report(L"TraceManager::GetLogFilesPath", L":GetTempPath: failed with last error: ",
               static_cast<long>(GetLastError()));
    }
    path += L"Orvanta";
    return path;
}

bool TraceManager::ReadLogFileState(long long& size, bool& gone)
{
    // The stream's own handle: opening the file by name costs about a millisecond under Wine, and
    // every writer waits for this check. Every line is written at once, so the size on disk is
    // current, and it is the file the lines go to even after a rotation that failed. Windows lets no
    // one delete the file while the agent holds it; from outside Windows (a file server, a cleanup on
    // another system) it can go, and lines written to it afterwards are lost with it.
    FILE_STANDARD_INFO info = {};
    if (!GetFileInformationByHandleEx(logFile_, FileStandardInfo, &info, sizeof(info))) {
        Report(L"TraceManager::RotateLogFileIfNeeded", L":GetFileInformationByHandle: failed with last error: ",
               static_cast<long>(GetLastError()));
        return false;
    }
    size = info.EndOfFile.QuadPart;
    gone = info.DeletePending != FALSE || info.NumberOfLinks == 0;
    return true;
}

void TraceManager::RotateLogFileIfNeeded()
{
    {
        CriticalSectionGuard guard(lock_);
        try {
            long long size = 0;
            bool gone = false;
            if (!ReadLogFileState(size, gone)) {
                return;
            }
            const long sinceCheck = lineCounter_ - checkedAtLine_;
            checkedAtLine_ = lineCounter_;
            const long long threshold = static_cast<long long>(maxLogFileSizeMb_ << 20);
            if (size > threshold || gone) {
                // A new file that cannot be opened (its name held by another program, a full disk) leaves
                // the lines in the file that is too big, which is still the one measured: the next check
                // tries again under the name of its own second, until one opens.
                const std::wstring previous = logFilePath_;
                logFilePath_ = NewLogFilePath();
                UniqueStream stream(OpenLogFile(logFilePath_));
                if (!stream || !UseStream(std::move(stream))) {
                    Report(L"TraceManager::RotateLogFileIfNeeded", L":_wfopen_s: failed with errno: ", errno);
                    return;
                }
                if (gone) {
                    notes_.push_back(L"The log file " + previous +
                                     L" was deleted or replaced while the agent wrote to it: the " +
                                     std::to_wstring(sinceCheck) +
                                     L" lines written since the check before went with it. The log goes on here.\n");
                }
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
                       static_cast<long>(error));
            }
            return;
        }
        do {
            names.insert(found.cFileName);
        } while (FindNextFileW(search.get(), &found));
        const DWORD error = GetLastError();
        search.reset();
        if (error != ERROR_NO_MORE_FILES) {
            Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":FindNextFile: failed with last error: ",
                   static_cast<long>(error));
            return;
        }

        // Names are times, so a clock that ran ahead names files that sort after every later one and
        // would be kept for ever, while the real ones go: a name later than a day from now is deleted,
        // not counted, and the log says so. The current file is never among them.
        const std::wstring latest = baseName_ + L"_" + FormatLogFileTime(24LL * 60 * 60) + extension_;
        const std::wstring current = logFilePath_.substr(logFilePath_.find_last_of(L'\\') + 1);
        std::wstring ahead;
        for (auto name = names.begin(); name != names.end();) {
            if (*name <= latest || *name == current) {
                ++name;
                continue;
            }
            const std::wstring path = logFolder_ + L"\\" + *name;
            if (!DeleteFileW(path.c_str())) {
                Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":DeleteFile: failed with last error: ",
                       static_cast<long>(GetLastError()));
            } else {
                ahead += (ahead.empty() ? L"" : L", ") + *name;
            }
            name = names.erase(name);
        }
        if (!ahead.empty()) {
            std::wstring note = L"Deleted from the log folder, named later than a day from now by a clock that ran "
                                L"ahead: " +
                                ahead;
            note.resize(std::min(note.size(), kMostMessage - 2));
            notes_.push_back(note + L".\n");
        }

        size_t toDelete = names.size() > numberOfLogFilesKept_ ? names.size() - numberOfLogFilesKept_ : 0;
        // A file that cannot be deleted still counts: a newer one is never taken in its place.
        for (auto name = names.begin(); toDelete > 0; ++name, --toDelete) {
            const std::wstring path = logFolder_ + L"\\" + *name;
            if (!DeleteFileW(path.c_str())) {
                Report(L"TraceManager::DeleteOlderLogFilesIfNeeded", L":DeleteFile: failed with last error: ",
                       static_cast<long>(GetLastError()));
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
