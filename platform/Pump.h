#pragma once
// The message loop seen from blocking operations: every wait in the program
// keeps the user interface live by processing pending events between polls.

namespace platform {

// Process what is pending, without waiting ("process pending messages").
void ProcessMessages();

// Wait until an event arrives or `ms` milliseconds pass, then process what is
// pending. Stands in for "sleep 2 ms, then process messages" without the blind
// sleep, so a transfer is never capped by the poll interval.
void WaitForEvents(int ms = 2);

} // namespace platform
