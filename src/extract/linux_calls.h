// Linux's own calls for the output side. Each answers CALL_MISSING where the kernel, the file
// system or the build does not have it, and the caller then takes the plain POSIX way.
#pragma once

#ifndef _WIN32
namespace quarry {

constexpr int CALL_MISSING = -2;

// Opens relative (any number of components) below the folder base in one call, refusing any
// symbolic link on the way and any step outside base: a descriptor, or -1 with errno set.
int openBeneath(int base, const char* relative, int flags);

// A new file in parent that has no name yet, so that nothing of it is left if the run ends
// before it is named: a descriptor, or -1 with errno set.
int openUnnamedFile(int parent);

// Gives an unnamed file the name in parent; 0 or the error number (EEXIST when taken).
int nameUnnamedFile(int file, int parent, const char* name);

// Renames from to name in folder in one call that fails with EEXIST when name is taken: 0 or
// the error number.
int renameWithoutReplacing(int folder, const char* from, const char* name);

}  // namespace quarry
#endif
