#include "admin/common/FileIdentity.h"

#include "platform/UniqueResource.h"

namespace Orvanta::Deskweave {

bool FileIdentity::Of(const std::wstring& path, FileIdentity& identity)
{
    const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!file || !GetFileInformationByHandle(file.get(), &information)) {
        return false;
    }
    identity.volume = information.dwVolumeSerialNumber;
    identity.index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool SameFile(const std::wstring& a, const std::wstring& b)
{
    if (CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL) {
        return true;
    }
    FileIdentity first;
    FileIdentity second;
    return FileIdentity::Of(a, first) && FileIdentity::Of(b, second) && first == second;
}

} // namespace Orvanta::Deskweave
