// gwtool: child processes of gwtool itself, one per device (the library keeps
// one device's state per process).
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_PROCESS_H
#define ZODARURUVIZI_TOOLS_GWTOOL_PROCESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace gwtool {

struct Child {
    intptr_t handle = -1;  // the process (POSIX: its id)
    intptr_t thread = -1;  // Windows: the main thread's handle
};

// The running program's own path ("" when the system does not say).
std::string SelfPath();

// Starts `args[0]` with `args`, its standard output written to the file
// `out_path` (created or emptied), standard input and error to nothing.
// False with the reason in *error when it could not be started.
bool SpawnChild(const std::vector<std::string>& args, const std::string& out_path, Child* child,
                std::string* error);

// True once the child has ended (then *exit_code is its exit code, -1 when it
// did not exit normally); does not wait.
bool ChildEnded(Child& child, int* exit_code);

// Waits a little before the next look at the children.
void PauseBriefly();

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_PROCESS_H
