#include "admin/check/PeImage.h"

#include "platform/UniqueResource.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace Orvanta::Deskweave {
namespace {

// Reads whole structures at file offsets; any read past the end fails.
class ImageFile
{
public:
    DWORD Open(const std::wstring& path)
    {
        file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!file_ || !GetFileSizeEx(file_.get(), &size)) {
            return GetLastError();
        }
        size_ = static_cast<unsigned long long>(size.QuadPart);
        return 0;
    }

    bool ReadAt(unsigned long long offset, void* buffer, DWORD length) const
    {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ReadFile(file_.get(), buffer, length, &read, &at) && read == length;
    }

    // A NUL-terminated name of at most 255 bytes, which may end with the file; empty when unreadable.
    std::string ReadName(unsigned long long offset) const
    {
        char name[256] = {};
        const DWORD length = offset < size_ ? static_cast<DWORD>(std::min<unsigned long long>(255, size_ - offset)) : 0;
        return length > 0 && ReadAt(offset, name, length) ? std::string(name, strnlen(name, length)) : std::string();
    }

private:
    UniqueFileHandle file_;
    unsigned long long size_ = 0;
};

struct Section {
    DWORD virtualAddress;
    DWORD virtualSize;
    DWORD rawOffset;
};

// The file offset of an address of the loaded image, or 0 when no section holds it.
unsigned long long OffsetOf(const std::vector<Section>& sections, DWORD rva)
{
    for (const Section& section : sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.virtualSize) {
            return static_cast<unsigned long long>(section.rawOffset) + (rva - section.virtualAddress);
        }
    }
    return 0;
}

} // namespace

DWORD PeImage::Read(const std::wstring& path)
{
    ImageFile file;
    if (const DWORD error = file.Open(path)) {
        return error;
    }
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!file.ReadAt(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        !file.ReadAt(dos.e_lfanew, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
        !file.ReadAt(dos.e_lfanew + sizeof(signature), &header, sizeof(header))) {
        return ERROR_BAD_EXE_FORMAT;
    }
    machine_ = header.Machine;
    dll_ = (header.Characteristics & IMAGE_FILE_DLL) != 0;

    // The export directory, where the optional header has one (PE32 or PE32+).
    const unsigned long long optional = dos.e_lfanew + sizeof(signature) + sizeof(header);
    WORD magic = 0;
    IMAGE_DATA_DIRECTORY exports = {};
    if (!file.ReadAt(optional, &magic, sizeof(magic))) {
        return ERROR_BAD_EXE_FORMAT;
    }
    const unsigned long long directories =
        optional + (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                                           : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    if (directories + sizeof(exports) > optional + header.SizeOfOptionalHeader ||
        !file.ReadAt(directories, &exports, sizeof(exports)) || exports.VirtualAddress == 0) {
        return 0;
    }
    std::vector<Section> sections;
    for (WORD i = 0; i < header.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section = {};
        if (!file.ReadAt(optional + header.SizeOfOptionalHeader + i * sizeof(section), &section, sizeof(section))) {
            return ERROR_BAD_EXE_FORMAT;
        }
        sections.push_back({section.VirtualAddress, std::max(section.Misc.VirtualSize, section.SizeOfRawData),
                            section.PointerToRawData});
    }
    IMAGE_EXPORT_DIRECTORY directory = {};
    const unsigned long long exportDirectory = OffsetOf(sections, exports.VirtualAddress);
    if (exportDirectory == 0 || !file.ReadAt(exportDirectory, &directory, sizeof(directory))) {
        return ERROR_BAD_EXE_FORMAT;
    }
    // A library exports a few thousand names at most; a count beyond that is damage.
    const unsigned long long nameTable = OffsetOf(sections, directory.AddressOfNames);
    for (DWORD i = 0; i < std::min<DWORD>(directory.NumberOfNames, 65536); ++i) {
        DWORD nameRva = 0;
        if (nameTable == 0 || !file.ReadAt(nameTable + i * sizeof(nameRva), &nameRva, sizeof(nameRva))) {
            return ERROR_BAD_EXE_FORMAT;
        }
        const unsigned long long text = OffsetOf(sections, nameRva);
        std::string name = text != 0 ? file.ReadName(text) : std::string();
        if (name.empty()) {
            return ERROR_BAD_EXE_FORMAT;
        }
        exportNames_.push_back(std::move(name));
    }
    return 0;
}

} // namespace Orvanta::Deskweave
