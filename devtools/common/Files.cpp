#include "devtools/common/Files.h"

#include "platform/UniqueResource.h"

#include <algorithm>

using Orvanta::Deskweave::UniqueFileHandle;
using Orvanta::Deskweave::UniqueFindHandle;

namespace HalyardDev {

std::string ReadFileBytes(const std::wstring& path)
{
    // Shared for writing and deletion too: the agent's log is read while the agent still holds it.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<std::wstring> ListFolder(const std::wstring& folder, const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UniqueFindHandle search(FindFirstFileW((folder + L"\\" + pattern).c_str(), &found));
    for (bool more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void DeleteTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    for (const std::wstring& name : ListFolder(path)) {
        DeleteTree(path + L"\\" + name);
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace HalyardDev
