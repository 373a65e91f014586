// Linux: other programs of the system's, run from this one by their full path.
#pragma once

namespace dorvanel::linux_process {

// Runs `path` with `argv` and this program's environment, as a fresh process
// would start: default signal dispositions, none blocked, and no descriptor
// but 0, 1 and 2, on /dev/null. Waits for it: 0 where it exited with status
// 0, 1 where it ended otherwise (also where its exec failed), -errno where
// `path` is not executable or no process could be made.
int run_quietly(const char* path, const char* const argv[]);

// Forks a process that outlives this program, in a session of its own, as
// fresh as run_quietly's, and that nobody waiting for this program's output
// waits for. Like fork(2), it returns twice: true in the new process, which
// must end with exec or _exit, and false here, also where none could be
// made. It leaves no zombie behind.
bool fork_detached();

}  // namespace dorvanel::linux_process
