// Linux: another program of the system's, run from this one by its full path.
#pragma once

namespace dorvanel::linux_process {

// Runs `path` with `argv` and this program's environment, reading from
// /dev/null and with its output discarded, also where this program was
// started with those descriptors closed. Waits for it to end; given
// `most_ms`, that long at most, then kills it. 0 where it exited with status
// 0, 1 where it ended otherwise, -errno where it could not be started.
int run_quietly(const char* path, const char* const argv[], int most_ms = -1);

}  // namespace dorvanel::linux_process
