#include "admin/package/PackageLog.h"

#include <msiquery.h>

namespace Orvanta::Deskweave {

int ProcessMessage(MSIHANDLE install, INSTALLMESSAGE type, const std::wstring& text)
{
    // Windows Installer formats the message: field 0's template gets the fields, and the result its
    // properties, so "[x64]" in a folder's name would be taken for a property and dropped, from field 0
    // and field 1 alike. Field 1 holds the text with its brackets escaped ("[\[]", "[\]]"), which the
    // formatting turns back into them.
    std::wstring escaped;
    for (const wchar_t c : text) {
        escaped += c == L'[' ? L"[\\[]" : c == L']' ? L"[\\]]" : std::wstring(1, c);
    }
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, escaped.c_str());
    return MsiProcessMessage(install, type, record);
}

std::function<void(const std::wstring& line, bool error)> PackageLog(MSIHANDLE install)
{
    return [install](const std::wstring& line, bool) { ProcessMessage(install, INSTALLMESSAGE_INFO, line); };
}

} // namespace Orvanta::Deskweave
