#pragma once

#include <string>

namespace HalyardDev {

// Points GetTempPathW of this process, and of the programs it starts, at a folder (so the agent's log
// folder goes there too); puts the old value back at the end.
class TempPathOverride
{
public:
    explicit TempPathOverride(const std::wstring& folder);
    ~TempPathOverride();

    TempPathOverride(const TempPathOverride&) = delete;
    TempPathOverride& operator=(const TempPathOverride&) = delete;

private:
    std::wstring oldTmp_;
    std::wstring oldTemp_;
};

} // namespace HalyardDev
