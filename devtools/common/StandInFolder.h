#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The development stand-ins of the engine and the companion programs take their script from, and
// record into, the folder named by the environment variable HALYARD_STANDIN_DIR. Children inherit the
// environment, so one variable set by a test reaches the agent, the engine it loads and the programs
// it starts.
namespace HalyardDev {

constexpr wchar_t kStandInFolderVariable[] = L"HALYARD_STANDIN_DIR";
// The engine's script (section [engine]) and the two records.
constexpr wchar_t kEngineScript[] = L"engine.ini";
constexpr wchar_t kEngineCallsRecord[] = L"engine-calls.log";
constexpr wchar_t kChildrenRecord[] = L"children.log";

// The stand-ins' side.
// Appends one line to a record of the folder; nothing when no folder is set.
void AppendRecord(const wchar_t* record, const std::wstring& line);
// A number from the engine's script, or the fallback.
int ReadScriptInt(const wchar_t* key, int fallback);

// The side of whoever drives them: a fresh folder, named in this process's environment for its life.
class StandInFolder
{
public:
    StandInFolder();
    ~StandInFolder();

    StandInFolder(const StandInFolder&) = delete;
    StandInFolder& operator=(const StandInFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // Writes the engine's script: "Key=Value" lines of section [engine].
    void ScriptEngine(const std::string& settings) const;
    // The lines of a record once it holds at least `count` of them, or what it holds when the time is up.
    std::vector<std::string> WaitForRecords(const wchar_t* record, size_t count, DWORD timeoutMs = 10000) const;
    // The engine's calls so far ("call status"), without the process ids of its record.
    std::vector<std::string> EngineCalls() const;

private:
    std::wstring path_;
    std::wstring oldValue_;
};

} // namespace HalyardDev
