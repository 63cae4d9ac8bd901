#include "admin/check/AgentEntries.h"

#include "platform/ObjectNames.h"
#include "platform/UniqueResource.h"

#include <sddl.h>

#include <cwctype>
#include <vector>

namespace Orvanta::Deskweave {
namespace {

constexpr DWORD kStartedEntry = 100;
constexpr DWORD kEngineUnavailableEntry = 200;
constexpr DWORD kEngineConnectedEntry = 201;
// No record is this large; a reader that asks for more is not the Event Log's.
constexpr DWORD kLargestRecord = 16 << 20;
// The newest entries that are read: a machine's whole Application log is not.
constexpr DWORD kMostRead = 4 << 20;

struct EventLogTraits {
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE log) noexcept { CloseEventLog(log); }
};
using UniqueEventLog = UniqueResource<HANDLE, EventLogTraits>;

std::wstring LocalTime(DWORD secondsSince1970)
{
    ULARGE_INTEGER ticks = {};
    ticks.QuadPart = (static_cast<ULONGLONG>(secondsSince1970) + 11644473600ULL) * 10000000ULL;
    FILETIME utc = {ticks.LowPart, ticks.HighPart};
    FILETIME local = {};
    SYSTEMTIME time = {};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &time);
    wchar_t text[32] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                 time.wHour, time.wMinute, time.wSecond);
    return text;
}

bool AllOf(const std::wstring& text, const wchar_t* characters, size_t length)
{
    return !text.empty() && text.size() <= length && text.find_first_not_of(characters) == std::wstring::npos;
}

// The NUL-terminated text at `at` of a record, or empty when it does not end inside it.
std::wstring TextAt(const BYTE* record, DWORD length, DWORD at)
{
    if (at >= length) {
        return {};
    }
    const auto* text = reinterpret_cast<const wchar_t*>(record + at);
    const size_t most = (length - at) / sizeof(wchar_t);
    const size_t found = wcsnlen(text, most);
    return found < most ? std::wstring(text, found) : std::wstring();
}

// The SID a record names, as text; empty when it names none or it does not fit the record.
std::wstring UserOf(const BYTE* record, DWORD length)
{
    const auto* header = reinterpret_cast<const EVENTLOGRECORD*>(record);
    if (header->UserSidLength == 0 || header->UserSidOffset > length ||
        header->UserSidLength > length - header->UserSidOffset) {
        return {};
    }
    auto* sid = const_cast<BYTE*>(record + header->UserSidOffset);
    LPWSTR text = nullptr;
    if (!IsValidSid(sid) || GetLengthSid(sid) > header->UserSidLength || !ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    const UniqueLocalMemory owner(text);
    return text;
}

// One record of the source, its session and entry; false for any other record.
bool Parse(const BYTE* record, DWORD length, AgentEntry& entry)
{
    const auto* header = reinterpret_cast<const EVENTLOGRECORD*>(record);
    entry.id = header->EventID & 0xFFFF;
    if (length < sizeof(EVENTLOGRECORD) || TextAt(record, length, sizeof(EVENTLOGRECORD)) != kEventSourceName ||
        header->NumStrings < 1 ||
        (entry.id != kStartedEntry && entry.id != kEngineUnavailableEntry && entry.id != kEngineConnectedEntry)) {
        return false;
    }
    const std::wstring first = TextAt(record, length, header->StringOffset);
    if (!AllOf(first, L"0123456789", 9)) {
        return false;
    }
    entry.session = std::stoul(first);
    entry.status.clear();
    if (entry.id == kEngineUnavailableEntry && header->NumStrings >= 2) {
        const std::wstring status =
            TextAt(record, length, header->StringOffset + static_cast<DWORD>((first.size() + 1) * sizeof(wchar_t)));
        entry.status = AllOf(status, L"0123456789ABCDEF", 8) ? status : L"(a status that is not one)";
    }
    entry.time = LocalTime(header->TimeGenerated);
    entry.generated = header->TimeGenerated;
    entry.sid = UserOf(record, length);
    return true;
}

} // namespace

std::vector<AgentEntry> AgentEntriesNewestFirst(const EventLogReading& reading, DWORD limit, DWORD& error)
{
    std::vector<AgentEntry> entries;
    std::vector<BYTE> buffer(size_t{64} * 1024);
    error = 0;
    for (DWORD total = 0; total < limit;) {
        DWORD read = 0;
        DWORD needed = 0;
        if (!reading(buffer.data(), static_cast<DWORD>(buffer.size()), read, needed)) {
            error = GetLastError();
            // A record larger than the buffer is read again with the size it asks for.
            if (error == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size() && needed <= kLargestRecord) {
                buffer.resize(needed);
                continue;
            }
            break;
        }
        if (read == 0 || read > buffer.size()) {
            error = ERROR_HANDLE_EOF;
            break;
        }
        total += read;
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read;) {
            const DWORD length = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at)->Length;
            if (length < sizeof(EVENTLOGRECORD) || length > read - at) {
                break;
            }
            AgentEntry entry;
            if (Parse(buffer.data() + at, length, entry)) {
                entries.push_back(std::move(entry));
            }
            at += length;
        }
    }
    return entries;
}

std::vector<AgentEntry> AgentEntriesOfThisMachine(DWORD& error)
{
    const UniqueEventLog log(OpenEventLogW(nullptr, L"Application"));
    if (!log) {
        error = GetLastError();
        return {};
    }
    return AgentEntriesNewestFirst(
        [&log](BYTE* buffer, DWORD size, DWORD& read, DWORD& needed) {
            return ReadEventLogW(log.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer, size, &read,
                                 &needed);
        },
        kMostRead, error);
}

const AgentEntry* LatestEntryOf(const std::vector<AgentEntry>& entries, DWORD session, const std::wstring& sid,
                                DWORD since)
{
    for (const AgentEntry& entry : entries) {
        if (entry.session == session && entry.generated >= since &&
            (sid.empty() || CompareStringOrdinal(entry.sid.c_str(), -1, sid.c_str(), -1, TRUE) == CSTR_EQUAL)) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace Orvanta::Deskweave
