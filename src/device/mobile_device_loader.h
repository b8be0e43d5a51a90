#pragma once

#include <string>

namespace quill {

// The platform half of the mobile device binding: opening a library file
// and looking up its exported symbols (dlopen/dlsym on POSIX).
void* OpenLibrary(const std::string& path);
void* FindSymbol(void* library, const char* name);
// The folder of the running program, with a trailing separator; empty when
// unknown.
std::string ProgramFolder();

}  // namespace quill
