#include "admin/check/EngineChecks.h"

#include "admin/check/PeImage.h"
#include "platform/ObjectNames.h"
#include "session/SyncEngine.h"

#include <algorithm>

namespace Orvanta::Deskweave {
namespace {

const char* const kEntryPoints[] = {"OvInitializeIPC2", "OvPrepareForLogoff", "OvUninitialize"};

std::wstring Hex(unsigned value, int digits)
{
    wchar_t text[16] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%0*X", digits, value);
    return text;
}

// The status the agent reports at every attempt, and what it means.
std::wstring AgentReports(unsigned status)
{
    return L"the agent reports " + Hex(status, 8) + L" every 2 s: " +
           SyncEngine::StatusMeaning(static_cast<int>(status));
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// engine.machine, then engine.exports, of a file that could be read.
void CheckImage(const PeImage& image, DWORD read, Checks& checks)
{
    const std::wstring library = kEngineLibrary;
    if (read != 0 || !image.IsDll()) {
        checks.push_back(
            {"engine.machine", CheckResult::Failure,
             library + L" is not a Windows library: " + AgentReports(0x800700C1) + L"; repair the client"});
    } else if (image.Machine() != IMAGE_FILE_MACHINE_AMD64) {
        checks.push_back({"engine.machine", CheckResult::Failure,
                          library + L" is built for machine 0x" + Hex(image.Machine(), 4) + L", not x64: " +
                              AgentReports(0x800700C1) + L"; install the 64-bit client"});
    } else {
        checks.push_back({"engine.machine", CheckResult::Ok, L"a 64-bit library"});
    }
    if (checks.back().result != CheckResult::Ok) {
        checks.push_back({"engine.exports", CheckResult::Skipped, L"not a 64-bit library"});
        return;
    }
    std::wstring missing;
    for (const char* entry : kEntryPoints) {
        const auto& names = image.ExportNames();
        if (std::find(names.begin(), names.end(), entry) == names.end()) {
            missing += (missing.empty() ? L"" : L", ") + std::wstring(entry, entry + strlen(entry));
        }
    }
    checks.push_back(
        missing.empty()
            ? Check{"engine.exports", CheckResult::Ok, L"OvInitializeIPC2, OvPrepareForLogoff, OvUninitialize"}
            : Check{"engine.exports", CheckResult::Failure,
                    library + L" lacks " + missing + L": " + AgentReports(0x8007007F) + L"; repair the client"});
}

} // namespace

void CheckClient(const CheckContext& context, Checks& checks)
{
    const std::wstring engine = context.folder + L"\\" + kEngineLibrary;
    PeImage image;
    const DWORD read = IsFile(engine) ? image.Read(engine) : ERROR_FILE_NOT_FOUND;
    if (read != 0 && read != ERROR_BAD_EXE_FORMAT) {
        checks.push_back({"engine.file", CheckResult::Failure,
                          read == ERROR_FILE_NOT_FOUND
                              ? L"no " + engine + L": " + AgentReports(0x8007007E) +
                                    L"; install Halyard into the client's folder, or repair the client"
                              : engine + L" cannot be read (error " + std::to_wstring(read) + L")"});
        checks.push_back({"engine.machine", CheckResult::Skipped, L"no engine library to read"});
        checks.push_back({"engine.exports", CheckResult::Skipped, L"no engine library to read"});
    } else {
        checks.push_back({"engine.file", CheckResult::Ok, engine});
        CheckImage(image, read, checks);
    }

    std::wstring missing;
    for (const wchar_t* program : {kSyncMonitorProgram, kSyncApplicationProgram}) {
        if (!IsFile(context.folder + L"\\" + program)) {
            missing += (missing.empty() ? L"" : L", ") + std::wstring(program);
        }
    }
    checks.push_back({"companions", missing.empty() ? CheckResult::Ok : CheckResult::Warning,
                      missing.empty() ? std::wstring(kSyncMonitorProgram) + L", " + kSyncApplicationProgram
                                      : L"no " + missing + L" in " + context.folder +
                                            L": the agent cannot start it (entry 300); repair the client"});
}

} // namespace Orvanta::Deskweave
