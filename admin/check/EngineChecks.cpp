#include "admin/check/EngineChecks.h"

#include "admin/check/LibraryImage.h"
#include "platform/ObjectNames.h"
#include "session/SyncEngine.h"

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
std::wstring AgentReports(DWORD error)
{
    const auto status = static_cast<unsigned>(HRESULT_FROM_WIN32(error));
    return L"the agent reports " + Hex(status, 8) + L" every 2 s: " +
           SyncEngine::StatusMeaning(static_cast<int>(status));
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + strlen(text));
}

// engine.file: the library opened as the loader opens it.
Check File(const std::wstring& engine, DWORD error)
{
    const DWORD attributes = GetFileAttributesW(engine.c_str());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return {"engine.file", CheckResult::Failure,
                L"no " + engine + L": " + AgentReports(ERROR_MOD_NOT_FOUND) +
                    L"; install Halyard into the client's folder, or repair the client"};
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {"engine.file", CheckResult::Failure,
                engine + L" is a folder, not the library: " + AgentReports(ERROR_ACCESS_DENIED) +
                    L"; remove the folder and repair the client"};
    }
    if (error == ERROR_SHARING_VIOLATION) {
        return {"engine.file", CheckResult::Failure,
                engine + L" is held by another program that lets nobody read it (a sharing violation): " +
                    AgentReports(error) +
                    L"; let that program finish (an installer replacing the file) or end it: the agents load the "
                    L"library at their next attempt"};
    }
    if (error == ERROR_ACCESS_DENIED) {
        return {"engine.file", CheckResult::Failure,
                engine + L" cannot be read by this account (access denied): " + AgentReports(error) +
                    L" where its user cannot read it either; repair the client to restore its permissions"};
    }
    return {"engine.file", CheckResult::Failure,
            engine + L" cannot be opened (error " + std::to_wstring(error) + L"): " + AgentReports(error)};
}

// engine.machine: mapped as an image of this machine, with its headers in place.
Check Machine(const LibraryImage& image, DWORD error)
{
    const std::wstring library = kEngineLibrary;
    if (image.GetStage() == LibraryImage::Stage::NoHeaders) {
        return {"engine.machine", CheckResult::Failure,
                library + L" maps with a section over its own headers (damaged): the agent's process crashes in the "
                          L"loader at its first connection attempt, without a status (Windows refuses such a file, "
                          L"800700C1); repair the client"};
    }
    if (error == 0) {
        return {"engine.machine", CheckResult::Ok, L"a 64-bit library that Windows maps"};
    }
    if (image.Machine() != 0 && image.Machine() != IMAGE_FILE_MACHINE_AMD64) {
        return {"engine.machine", CheckResult::Failure,
                library + L" is built for machine 0x" + Hex(image.Machine(), 4) + L", not x64: " + AgentReports(error) +
                    L"; install the 64-bit client"};
    }
    return {"engine.machine", CheckResult::Failure,
            library + L" is not an image Windows maps (truncated or damaged, error " + std::to_wstring(error) + L"): " +
                AgentReports(error) + L"; repair the client"};
}

// engine.exports: GetProcAddress of each entry point, as the agent calls it.
Check Exports(const LibraryImage& image)
{
    std::wstring missing;
    std::wstring crashing;
    std::wstring forwarded;
    for (const char* entry : kEntryPoints) {
        std::string target;
        const auto join = [](std::wstring& list, const std::wstring& item) {
            list += (list.empty() ? L"" : L", ") + item;
        };
        switch (image.Find(entry, target)) {
        case LibraryImage::Lookup::Found:
            break;
        case LibraryImage::Lookup::NotFound:
            join(missing, Widen(entry));
            break;
        case LibraryImage::Lookup::ReadsOutside:
            join(crashing, Widen(entry));
            break;
        case LibraryImage::Lookup::Forwarded:
            join(forwarded, Widen(entry) + L" to " + Widen(target.c_str()));
            break;
        }
    }
    const std::wstring library = kEngineLibrary;
    std::wstring text;
    if (!crashing.empty()) {
        text = L"looking up " + crashing + L", the loader reads outside " + library +
               L" (a damaged export table): the agent crashes there, without a status; repair the client";
    }
    if (!missing.empty()) {
        // Each entry point is needed at its own time: connecting, the logoff, the agent's end.
        const auto lacks = [&missing](const wchar_t* entry) { return missing.find(entry) != std::wstring::npos; };
        std::wstring consequences;
        if (lacks(L"OvInitializeIPC2")) {
            consequences = AgentReports(ERROR_PROC_NOT_FOUND) + L": it never connects";
        } else {
            consequences = L"the agent connects";
        }
        if (lacks(L"OvPrepareForLogoff")) {
            consequences += L"; at every logoff OvPrepareForLogoff fails with 8007007F, and the engine is not prepared "
                            L"for it";
        }
        if (lacks(L"OvUninitialize") && !lacks(L"OvInitializeIPC2")) {
            consequences += L"; at the agent's end OvUninitialize fails with 8007007F, and the engine is not released";
        }
        text += (text.empty() ? L"" : L"; ") + library + L" lacks " + missing + L": " + consequences +
                L"; repair the client";
    }
    if (!text.empty()) {
        return {"engine.exports", CheckResult::Failure, text};
    }
    if (!forwarded.empty()) {
        return {"engine.exports", CheckResult::Warning,
                L"forwarded, and not followed here: " + forwarded +
                    L"; the agent gets those functions if their libraries load beside it"};
    }
    return {"engine.exports", CheckResult::Ok, L"OvInitializeIPC2, OvPrepareForLogoff, OvUninitialize"};
}

} // namespace

void CheckClient(const CheckContext& context, Checks& checks)
{
    const std::wstring engine = context.folder + L"\\" + kEngineLibrary;
    LibraryImage image;
    const DWORD error = image.Map(engine);
    if (image.GetStage() == LibraryImage::Stage::NotOpened) {
        checks.push_back(File(engine, error));
        checks.push_back({"engine.machine", CheckResult::Skipped, L"the library cannot be opened"});
        checks.push_back({"engine.exports", CheckResult::Skipped, L"the library cannot be opened"});
    } else {
        checks.push_back({"engine.file", CheckResult::Ok, engine});
        checks.push_back(Machine(image, error));
        checks.push_back(error == 0 ? Exports(image)
                                    : Check{"engine.exports", CheckResult::Skipped, L"the library does not load"});
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
