// The "unicode" protocol: "unicode:<path>" (an optional "//" after the colon
// is dropped) reaches a file by its UTF-8 path through the system's own file
// calls, for inputs and outputs alike.
#pragma once

namespace avhelpers {

// Registers the protocol (once).
void RegisterUnicodeProtocol();

} // namespace avhelpers
