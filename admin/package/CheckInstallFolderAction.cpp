// The package's guard: the agent loads the engine and starts the companion programs only from its own
// folder, so it is installed only into a folder that holds the client's engine. Anywhere else every
// logon would start an agent that can never connect. Runs before anything is changed; a refusal ends
// the install with 1603 and says in the package log what was missing where.
#include "platform/ObjectNames.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

using namespace Orvanta::Deskweave;

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name)
{
    DWORD length = 0;
    wchar_t empty[1] = {};
    if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(++length, L'\0');
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(length);
    return value;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install)
{
    std::wstring folder = Property(install, L"INSTALLDIR");
    if (!folder.empty() && folder.back() != L'\\') {
        folder += L'\\';
    }
    const std::wstring engine = folder + kEngineLibrary;
    const DWORD attributes = GetFileAttributesW(engine.c_str());
    if (!folder.empty() && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_SUCCESS;
    }
    const std::wstring message = std::wstring(L"Halyard: ") + kEngineLibrary + L" not found in " +
                                 (folder.empty() ? L"(no folder)" : folder) +
                                 L". Install Halyard into the Orvanta sync client's folder, the one that holds " +
                                 kEngineLibrary + L": msiexec /i <package> INSTALLDIR=\"<client folder>\".";
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, message.c_str());
    MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
    return ERROR_INSTALL_FAILURE;
}
