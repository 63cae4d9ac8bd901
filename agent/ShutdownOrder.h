#pragma once

namespace Orvanta::Deskweave {

// Asks the platform to tell this process of the session's end late (level 0x100, the last of the
// application range), after the programs whose files the agent may still have to upload, and traces
// the outcome. A failure changes nothing else.
void SetShutdownOrder();

// Asks Restart Manager to start the agent again ("/run") after it closed it for an installer: a client
// update run by the user closes the agent, which holds the engine library, as it would at a logoff, and
// restarts only programs that asked so. Not after a crash or a hang (logon starts the next one), nor
// after an update's restart, when the Run value starts one. Windows restarts only a program that ran
// 60 s. Writes no trace line; a failure changes nothing.
void RegisterForRestart();

} // namespace Orvanta::Deskweave
