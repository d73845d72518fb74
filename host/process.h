// Process set-up before a run: the standard streams present, and no death by SIGPIPE or at the file size limit.
#pragma once

namespace host {

// Opens /dev/null on each standard stream the caller left closed, so that no
// file a program opens takes that number and receives console output or
// messages: for reading only, so that writing output there still fails as on
// a closed stream (EBADF) and is reported. Ignores SIGPIPE, so that output
// to a reader that went away ends the run quietly; and SIGXFSZ, so that a
// write past the file size limit fails (the program gets 0xFF) instead of
// ending the run in raw mode.
void prepare_process();

}  // namespace host
