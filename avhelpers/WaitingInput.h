// Local inputs that are not regular files (named pipes, character devices,
// sockets) can block a read for ever: a pipe whose writer never comes, a
// device with nothing to say. They are read here instead, in short waits
// between which the calling thread's interrupt checks are asked, so that a
// stop or the read timeout ends the wait.
#pragma once

#include "avhelpers/StreamProtocol.h"

#include <string>

namespace avhelpers {

// 1 with the opened reader in `io` when `url` is a local path (plain or with
// "file:") naming a file that is not a regular one; 0 for anything else (the
// libraries open it); a negative error when such a file cannot be opened.
int OpenWaitingInput(const std::string& url, TCustomIOPtr& io);

// An input the libraries must not open themselves: a name of the system's
// own protocols (OpenRegisteredProtocol) or a local pipe or device
// (OpenWaitingInput). Returns like them.
int OpenInputThroughOwnIO(const std::string& url, TCustomIOPtr& io);

} // namespace avhelpers
