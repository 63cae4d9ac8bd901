#include "admin/package/PackageLog.h"

#include <msiquery.h>

namespace Orvanta::Deskweave {

std::function<void(const std::wstring& line, bool error)> PackageLog(MSIHANDLE install)
{
    return [install](const std::wstring& line, bool) {
        PMSIHANDLE record = MsiCreateRecord(1);
        MsiRecordSetStringW(record, 0, line.c_str());
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    };
}

} // namespace Orvanta::Deskweave
