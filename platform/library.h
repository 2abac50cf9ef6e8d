// The ASPI layer WNASPI32 as this host finds it, loaded at run time, and its
// entry points.
#pragma once

#include <string>

namespace platform {

// Loads the layer from the first place that holds one: on Windows
// WNASPI32.DLL in the program's own folder, then in the system folder, as
// Windows looks for a DLL (never the current folder or PATH); elsewhere the
// file WNASPI32 beside the program (links followed, as the loader's $ORIGIN
// does), then ../lib/qvupdate/WNASPI32 beside it, never the library search
// path. Whatever lies at a place is the layer, loadable or not: a broken
// copy beside the program never makes way for the installed one. Null when
// nothing loads, with `why` saying what the system said.
void* load_aspi_layer(std::string& why);
// The entry point `name` of a loaded layer, or null.
void* library_symbol(void* library, const char* name);
void free_library(void* library);

}  // namespace platform
