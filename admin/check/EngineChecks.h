#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// The client beside the agent, as the agent will find it: the engine library (engine.file), a 64-bit
// DLL (engine.machine) with the three entry points (engine.exports), read from the file and never
// loaded; and the two companion programs (companions).
void CheckClient(const CheckContext& context, Checks& checks);

} // namespace Orvanta::Deskweave
