// Process set-up before a run: the standard streams present, and no death at the file size limit.
#pragma once

namespace host {

// Opens /dev/null on each standard stream the caller left closed, so that no
// file a program opens takes that number and receives console output or
// messages; and ignores SIGXFSZ, so that a write past the file size limit
// fails (the program gets 0xFF) instead of ending the run in raw mode.
void prepare_process();

}  // namespace host
