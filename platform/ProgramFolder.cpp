#include "platform/ProgramFolder.h"

#include <new>

namespace Orvanta::Deskweave {

DWORD GetProgramFolder(std::wstring& folder)
{
    try {
        // Installation paths may be longer than MAX_PATH; the call truncates silently, so grow until
        // the path fits.
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0) {
                return GetLastError();
            }
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            if (path.size() >= 32768) {
                return ERROR_INSUFFICIENT_BUFFER;
            }
            path.resize(path.size() * 2);
        }
        const size_t separator = path.rfind(L'\\');
        if (separator == std::wstring::npos) {
            return ERROR_BAD_PATHNAME;
        }
        folder = path.substr(0, separator);
        return 0;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace Orvanta::Deskweave
