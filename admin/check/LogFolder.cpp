#include "admin/check/LogFolder.h"

#include <winternl.h>

#include <algorithm>
#include <cwctype>

// The Windows SDK's winternl.h leaves it to ntdef.h, which user-mode code does not include.
#ifndef NT_SUCCESS
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#endif

namespace Orvanta::Deskweave {
namespace {

// A folder's path as CreateDirectoryW takes it, the longest log file name after it.
constexpr size_t kLongestFolder = MAX_PATH - 32;
constexpr size_t kListingBuffer = size_t{64} * 1024;

// ntdll is in every process: taken from there, so that the tools import from kernel32 and the runtime
// alone (and an MSVC build needs no ntdll.lib).
template <typename Function>
Function FromNtdll(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

DWORD ErrorOf(NTSTATUS status)
{
    static const auto toError = FromNtdll<StatusToErrorFunction>("RtlNtStatusToDosError");
    return toError != nullptr ? toError(status) : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

// A name opened relative to an open folder, never following a link at it.
NTSTATUS OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG options,
                      UniqueHandle& opened)
{
    UNICODE_STRING text = {};
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes = {};
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK result = {};
    HANDLE handle = nullptr;
    // A file held under an oplock would make the open wait for its holder: it completes at once instead.
    static const auto createFile = FromNtdll<NtCreateFileFunction>("NtCreateFile");
    if (createFile == nullptr) {
        return static_cast<NTSTATUS>(0xC0000002L); // STATUS_NOT_IMPLEMENTED
    }
    const NTSTATUS status =
        createFile(&handle, access | SYNCHRONIZE, &attributes, &result, nullptr, 0, share, FILE_OPEN,
                   options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED,
                   nullptr, 0);
    if (NT_SUCCESS(status)) {
        opened.reset(handle);
    }
    return status;
}

bool IsLink(HANDLE handle)
{
    FILE_BASIC_INFO basic = {};
    return !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) ||
           (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

ULONGLONG Ticks(const LARGE_INTEGER& value)
{
    return static_cast<ULONGLONG>(value.QuadPart);
}

} // namespace

bool IsLogName(const std::wstring& name)
{
    const std::wstring form = L"Halyard_####-##-##_##-##-##.log";
    if (name.size() != form.size()) {
        return false;
    }
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == L'#' ? !iswdigit(name[i]) : towlower(name[i]) != towlower(form[i])) {
            return false;
        }
    }
    return true;
}

std::wstring LogFolder::Refusal(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\??\\", 0) == 0) {
        return L"a device path (\\\\.\\, \\\\?\\ or \\\\?\\GLOBALROOT), which can name any device";
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"a network path (UNC): reading it would have this machine sign in to that host";
    }
    if (path.find(L'%') != std::wstring::npos) {
        return L"it holds a variable that did not expand";
    }
    if (path.size() < 3 || !iswalpha(path[0]) || path[1] != L':' || path[2] != L'\\') {
        return L"not a folder on a drive (X:\\...)";
    }
    if (path.size() > kLongestFolder) {
        return std::to_wstring(path.size()) + L" characters, longer than a folder of log files may be";
    }
    if (path.find(L"\\.\\") != std::wstring::npos || path.find(L"\\..") != std::wstring::npos ||
        path.find(L"\\\\") != std::wstring::npos || path.find_first_of(L"/*?\"<>|", 2) != std::wstring::npos ||
        path.find(L':', 2) != std::wstring::npos) {
        return L"not a plain path: it holds \".\", \"..\", an empty part, a stream or a wildcard";
    }
    const std::wstring drive = path.substr(0, 2);
    wchar_t target[MAX_PATH] = {};
    if (QueryDosDeviceW(drive.c_str(), target, MAX_PATH) == 0) {
        return L"the system resolves drive " + drive + L" to no volume (error " + std::to_wstring(GetLastError()) +
               L"): a drive linked to a folder or mapped elsewhere";
    }
    const std::wstring device = target;
    if (device.rfind(L"\\Device\\HarddiskVolume", 0) != 0) {
        return L"drive " + drive + L" is " + device +
               L", not a volume of a local disk (a network drive, a drive linked "
               L"to a folder with subst, or a device)";
    }
    const UINT type = GetDriveTypeW((drive + L"\\").c_str());
    if (type != DRIVE_FIXED) {
        return L"drive " + drive + L" is not a fixed local disk (drive type " + std::to_wstring(type) + L")";
    }
    return {};
}

DWORD LogFolder::Open(const std::wstring& path)
{
    path_ = path;
    linkAt_.clear();
    folder_.reset(CreateFileW((L"\\\\?\\" + path.substr(0, 3)).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder_.get() == INVALID_HANDLE_VALUE) {
        folder_.release();
        return GetLastError();
    }
    for (size_t start = 3; start < path.size();) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        const bool last = path.find_first_not_of(L'\\', end) == std::wstring::npos;
        UniqueHandle next;
        const NTSTATUS status =
            OpenRelative(folder_.get(), path.substr(start, end - start),
                         FILE_READ_ATTRIBUTES | (last ? FILE_LIST_DIRECTORY : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_DIRECTORY_FILE, next);
        if (!NT_SUCCESS(status)) {
            folder_.reset();
            return ErrorOf(status);
        }
        if (IsLink(next.get())) {
            linkAt_ = path.substr(0, end);
            folder_.reset();
            return ERROR_CANT_ACCESS_FILE;
        }
        folder_ = std::move(next);
        start = end + 1;
    }
    return 0;
}

std::vector<LogFolder::File> LogFolder::LogFiles(size_t most, bool& capHit, DWORD& error) const
{
    std::vector<File> files;
    capHit = false;
    error = 0;
    std::vector<ULONGLONG> buffer(kListingBuffer / sizeof(ULONGLONG));
    size_t listed = 0;
    for (FILE_INFO_BY_HANDLE_CLASS part = FileIdBothDirectoryRestartInfo;; part = FileIdBothDirectoryInfo) {
        if (!GetFileInformationByHandleEx(folder_.get(), part, buffer.data(), kListingBuffer)) {
            error = GetLastError() == ERROR_NO_MORE_FILES ? 0 : GetLastError();
            return error == 0 ? files : std::vector<File>();
        }
        const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());
        for (;;) {
            if (++listed > most) {
                capHit = true;
                return files;
            }
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsLogName(name)) {
                files.push_back({name, Ticks(entry->FileId), Ticks(entry->CreationTime), Ticks(entry->LastWriteTime),
                                 Ticks(entry->EndOfFile)});
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<const BYTE*>(entry) +
                                                                   entry->NextEntryOffset);
        }
    }
}

DWORD LogFolder::OpenFile(const File& file, UniqueHandle& opened, bool& heldForWriting) const
{
    const ULONG everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const NTSTATUS status = OpenRelative(folder_.get(), file.name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, everyone,
                                         FILE_NON_DIRECTORY_FILE, opened);
    if (!NT_SUCCESS(status)) {
        return ErrorOf(status);
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(opened.get(), &information)) {
        const DWORD error = GetLastError();
        opened.reset();
        return error;
    }
    const ULONGLONG id = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || information.nNumberOfLinks != 1 ||
        id != file.id) {
        opened.reset();
        return ERROR_CANT_ACCESS_FILE;
    }
    // Whether another program has write access: an open for reading that does not share writing is
    // refused then (one for attributes alone would take part in no sharing check).
    UniqueHandle probe;
    const NTSTATUS shared = OpenRelative(folder_.get(), file.name, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         FILE_NON_DIRECTORY_FILE, probe);
    heldForWriting = shared == static_cast<NTSTATUS>(0xC0000043L); // STATUS_SHARING_VIOLATION
    return 0;
}

} // namespace Orvanta::Deskweave
