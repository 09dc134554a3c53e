// The hosting application's termination flag: a process-wide request that
// makes a running command end with "Operation aborted".
//   POSIX: set by the host (velasms sets it on SIGINT/SIGTERM).
//   Windows: also set by our own message pumps when they take a WM_QUIT; the
//            pump then posts the quit again so the host's loop still ends.
#pragma once

namespace vela::platform {

bool TerminationRequested();
// Async-signal-safe.
void RequestTermination();
// For tests and hosts that recover: clears the flag.
void ClearTermination();

// POSIX: a descriptor that is readable while the flag is set, for hosts that
// wait in their own poll loop (as MessageQueueFd). -1 on Windows.
int TerminationFd();

}  // namespace vela::platform
