// Waiting for the user or the system to ask the program to end.
#pragma once

namespace vandrel {

/// Call first thing in main, before any thread starts: from then on SIGINT and
/// SIGTERM (console close and Ctrl+C on Windows) only end WaitForTermination.
void PrepareTerminationSignals();
/// Blocks until such a request arrives; returns the signal's name.
const char* WaitForTermination();

}  // namespace vandrel
