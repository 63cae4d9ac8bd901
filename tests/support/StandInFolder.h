#pragma once

#include "devtools/common/StandInScript.h"

#include <windows.h>

#include <string>
#include <vector>

namespace HalyardTest {

// The stand-ins' script and records in a fresh folder, named in this process's environment for its
// life, so that the agent, the engine it loads and the programs it starts all use it.
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

} // namespace HalyardTest
