#pragma once

#include <string>

namespace HalyardDev {

// A variable of this process's environment, whatever its length (PATH often exceeds MAX_PATH); empty
// when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);

} // namespace HalyardDev
