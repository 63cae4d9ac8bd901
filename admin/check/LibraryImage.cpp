#include "admin/check/LibraryImage.h"

#include <cstddef>
#include <cstring>

namespace Orvanta::Deskweave {
namespace {

// A field's offset in a structure, as the signed file offsets here are counted (headers are far smaller
// than the range of either type).
constexpr long long FieldAt(size_t offset)
{
    return static_cast<long long>(offset);
}

// The machine named by a file's own headers (its first page), for saying what a refused file is.
WORD MachineOfFile(HANDLE file)
{
    BYTE head[4096] = {};
    DWORD read = 0;
    OVERLAPPED start = {};
    if (!ReadFile(file, head, sizeof(head), &read, &start) || read < sizeof(IMAGE_DOS_HEADER)) {
        return 0;
    }
    IMAGE_DOS_HEADER dos = {};
    memcpy(&dos, head, sizeof(dos));
    DWORD signature = 0;
    WORD machine = 0;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || static_cast<DWORD>(dos.e_lfanew) + 6 > read) {
        return 0;
    }
    memcpy(&signature, head + dos.e_lfanew, sizeof(signature));
    memcpy(&machine, head + dos.e_lfanew + 4, sizeof(machine));
    return signature == IMAGE_NT_SIGNATURE ? machine : 0;
}

} // namespace

DWORD LibraryImage::Map(const std::wstring& path)
{
    readable_.clear();
    view_.reset();
    section_.reset();
    file_.reset();
    machine_ = 0;
    stage_ = Stage::NotOpened;

    // The loader's own access and sharing: a file another program holds for writing is refused to
    // both alike (sharing violation), and a folder of that name gives access denied.
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        return GetLastError();
    }
    machine_ = MachineOfFile(file_.get());
    stage_ = Stage::NotMapped;
    section_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr));
    if (!section_) {
        return GetLastError();
    }
    view_.reset(static_cast<const BYTE*>(MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, 0)));
    if (!view_) {
        return GetLastError();
    }
    MEMORY_BASIC_INFORMATION region = {};
    for (const BYTE* at = view_.get(); VirtualQuery(at, &region, sizeof(region)) == sizeof(region) &&
                                       region.AllocationBase == view_.get() && region.RegionSize > 0;
         at += region.RegionSize) {
        if (region.State == MEM_COMMIT && (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0) {
            readable_.emplace_back(static_cast<size_t>(at - view_.get()), region.RegionSize);
        }
    }

    // The headers as the loader finds them in the mapped image: a section mapped over them leaves
    // none, and Wine's loader then follows a null pointer.
    WORD dosMagic = 0;
    LONG ntOffset = 0;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!Read(0, &dosMagic, sizeof(dosMagic)) || dosMagic != IMAGE_DOS_SIGNATURE ||
        !Read(offsetof(IMAGE_DOS_HEADER, e_lfanew), &ntOffset, sizeof(ntOffset)) ||
        !Read(ntOffset, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
        !Read(ntOffset + 4LL, &header, sizeof(header))) {
        stage_ = Stage::NoHeaders;
        return ERROR_BAD_EXE_FORMAT;
    }
    // Windows maps another machine's image and leaves the refusal to the loader; Wine refuses the
    // mapping itself.
    machine_ = header.Machine;
    if (header.Machine != IMAGE_FILE_MACHINE_AMD64) {
        return ERROR_BAD_EXE_FORMAT;
    }
    stage_ = Stage::Mapped;
    return 0;
}

size_t LibraryImage::ReadableFrom(long long rva, size_t limit) const
{
    size_t available = 0;
    long long at = rva;
    // The spans are in order and may touch: a run ends at the first gap.
    for (const auto& [start, length] : readable_) {
        const long long begin = static_cast<long long>(start);
        const long long end = begin + static_cast<long long>(length);
        if (at < begin || available >= limit) {
            break;
        }
        if (at < end) {
            available += static_cast<size_t>(end - at);
            at = end;
        }
    }
    return available < limit ? available : limit;
}

bool LibraryImage::Read(long long rva, void* buffer, size_t length) const
{
    if (rva < 0 || ReadableFrom(rva, length) < length) {
        return false;
    }
    memcpy(buffer, view_.get() + rva, length);
    return true;
}

bool LibraryImage::Compare(long long rva, const char* name, int& order) const
{
    // strcmp reads up to the first difference or the terminating NUL, never beyond.
    const size_t longest = strlen(name) + 1;
    const size_t readable = rva < 0 ? 0 : ReadableFrom(rva, longest);
    for (size_t i = 0; i < longest; ++i) {
        if (i >= readable) {
            return false;
        }
        const auto mine = static_cast<unsigned char>(view_.get()[rva + static_cast<long long>(i)]);
        const auto wanted = static_cast<unsigned char>(name[i]);
        if (mine != wanted || mine == 0) {
            order = mine < wanted ? -1 : mine > wanted ? 1 : 0;
            return true;
        }
    }
    return true;
}

// The export directory as RtlImageDirectoryEntryToData gives it, then the binary search of
// find_named_export (no hint: GetProcAddress gives none) with its 32-bit signed bounds, so that a
// count of names beyond 2^31 or a sum that overflows sends it where Wine's sends it.
LibraryImage::Lookup LibraryImage::Find(const char* name, std::string& forwardedTo) const
{
    forwardedTo.clear();
    if (stage_ != Stage::Mapped) {
        return Lookup::NotFound;
    }
    LONG ntOffset = 0;
    Read(offsetof(IMAGE_DOS_HEADER, e_lfanew), &ntOffset, sizeof(ntOffset));
    const long long optional = ntOffset + 4LL + static_cast<long long>(sizeof(IMAGE_FILE_HEADER));
    WORD magic = 0;
    DWORD directories = 0;
    IMAGE_DATA_DIRECTORY exports = {};
    if (!Read(optional, &magic, sizeof(magic))) {
        return Lookup::ReadsOutside;
    }
    long long countAt = 0;
    long long directoryAt = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        countAt = optional + FieldAt(offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes));
        directoryAt = optional + FieldAt(offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory));
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        countAt = optional + FieldAt(offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes));
        directoryAt = optional + FieldAt(offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    } else {
        return Lookup::NotFound;
    }
    if (!Read(countAt, &directories, sizeof(directories))) {
        return Lookup::ReadsOutside;
    }
    if (directories <= IMAGE_DIRECTORY_ENTRY_EXPORT) {
        return Lookup::NotFound;
    }
    if (!Read(directoryAt, &exports, sizeof(exports))) {
        return Lookup::ReadsOutside;
    }
    if (exports.VirtualAddress == 0) {
        return Lookup::NotFound;
    }
    const long long directory = exports.VirtualAddress;
    DWORD numberOfNames = 0;
    DWORD namesRva = 0;
    DWORD ordinalsRva = 0;
    if (!Read(directory + FieldAt(offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames)), &numberOfNames,
              sizeof(numberOfNames)) ||
        !Read(directory + FieldAt(offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames)), &namesRva, sizeof(namesRva)) ||
        !Read(directory + FieldAt(offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals)), &ordinalsRva,
              sizeof(ordinalsRva))) {
        return Lookup::ReadsOutside;
    }
    // At most 32 rounds: the range halves each time.
    int low = 0;
    int high = static_cast<int>(numberOfNames - 1);
    while (low <= high) {
        const int position = static_cast<int>(static_cast<unsigned>(low) + static_cast<unsigned>(high)) / 2;
        DWORD nameRva = 0;
        int order = 0;
        if (!Read(namesRva + 4LL * position, &nameRva, sizeof(nameRva)) || !Compare(nameRva, name, order)) {
            return Lookup::ReadsOutside;
        }
        if (order == 0) {
            WORD ordinal = 0;
            if (!Read(ordinalsRva + 2LL * position, &ordinal, sizeof(ordinal))) {
                return Lookup::ReadsOutside;
            }
            return FindOrdinal(ordinal, exports.VirtualAddress, exports.Size, forwardedTo);
        }
        if (order > 0) {
            high = position - 1;
        } else {
            low = position + 1;
        }
    }
    return Lookup::NotFound;
}

LibraryImage::Lookup LibraryImage::FindOrdinal(DWORD ordinal, DWORD exportsRva, DWORD exportsSize,
                                               std::string& forwardedTo) const
{
    DWORD numberOfFunctions = 0;
    DWORD functionsRva = 0;
    DWORD function = 0;
    if (!Read(exportsRva + FieldAt(offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfFunctions)), &numberOfFunctions,
              sizeof(numberOfFunctions))) {
        return Lookup::ReadsOutside;
    }
    if (ordinal >= numberOfFunctions) {
        return Lookup::NotFound;
    }
    if (!Read(exportsRva + FieldAt(offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions)), &functionsRva,
              sizeof(functionsRva)) ||
        !Read(functionsRva + 4LL * ordinal, &function, sizeof(function))) {
        return Lookup::ReadsOutside;
    }
    if (function == 0) {
        return Lookup::NotFound;
    }
    // An address inside the export directory is a forwarder's text, "LIBRARY.Function", which the
    // loader reads whole for its last dot.
    if (function < exportsRva || function >= static_cast<long long>(exportsRva) + exportsSize) {
        return Lookup::Found;
    }
    const size_t readable = ReadableFrom(function, 65536);
    const char* text = reinterpret_cast<const char*>(view_.get() + function);
    const size_t length = strnlen(text, readable);
    if (length == readable) {
        return Lookup::ReadsOutside;
    }
    const std::string forwarder(text, length);
    if (forwarder.find('.') == std::string::npos) {
        return Lookup::NotFound;
    }
    forwardedTo = forwarder.substr(0, 200);
    return Lookup::Forwarded;
}

} // namespace Orvanta::Deskweave
