#pragma once

namespace Orvanta::Deskweave {

// Asks the platform to tell this process of the session's end late (level 0x100, the last of the
// application range), after the programs whose files the agent may still have to upload, and traces
// the outcome. A failure changes nothing else.
void SetShutdownOrder();

} // namespace Orvanta::Deskweave
