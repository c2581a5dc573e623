#pragma once
// The windowed program: builds the application object and runs the operator window until it
// closes.

namespace tessamer {

struct CommandLine;

// Runs the window with the parsed options; returns the process's exit status. `argc` and `argv`
// are handed to the toolkit, which may remove its own options from them.
int RunWindow(int& argc, char** argv, const CommandLine& options);

}  // namespace tessamer
