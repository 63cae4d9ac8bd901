#include "admin/package/PackageLog.h"

#include <msiquery.h>

namespace Orvanta::Deskweave {

int ProcessMessage(MSIHANDLE install, INSTALLMESSAGE type, const std::wstring& text)
{
    // Field 0 is a template that Windows Installer formats: "[x64]" in a folder's name would be taken
    // for a property and dropped. The text goes into field 1, which it is not.
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    return MsiProcessMessage(install, type, record);
}

std::function<void(const std::wstring& line, bool error)> PackageLog(MSIHANDLE install)
{
    return [install](const std::wstring& line, bool) { ProcessMessage(install, INSTALLMESSAGE_INFO, line); };
}

} // namespace Orvanta::Deskweave
