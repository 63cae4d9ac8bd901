#pragma once

#include "admin/check/Check.h"

namespace Orvanta::Deskweave {

// The client beside the agent, as the agent will find it: the engine library, opened as its loader
// opens it (engine.file), mapped by the system as a 64-bit image (engine.machine), with the three entry
// points that GetProcAddress finds there (engine.exports), none of its code run; and the two companion
// programs (companions).
void CheckClient(const CheckContext& context, Checks& checks);

} // namespace Orvanta::Deskweave
