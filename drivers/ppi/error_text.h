// Error texts of the PPI driver: GetLastErrorText's lookup of an error code in the resource
// library "Lexvar.dll", through one buffer shared by every driver object of the module.
#pragma once

#include <cstdint>

namespace ppi {

// The library that holds the texts, by its Windows name (libLexvar.so beside the program, else
// on the system's library search path).
inline constexpr char kErrorTextLibrary[] = "Lexvar.dll";
// Texts used when the library cannot supply one.
inline constexpr char kTextLibraryMissing[] = "File Lexvar.dll missed";
inline constexpr char kTextUnknownError[] = "Unknown Error";
// Size of the module-wide text buffer, terminating NUL included.
inline constexpr int kErrorTextSize = 256;

// The text of `code` for GetLastErrorText: null when `code` is -1 (no error was ever set);
// otherwise the module-wide buffer holding string resource `code` of `library` (GBK), or
// kTextLibraryMissing when the library does not load, or kTextUnknownError when it has no such
// string. The buffer is refilled only when `code` differs from the code it holds, so an absent
// library is not looked for again until the code changes. The returned pointer stays valid for
// the life of the module; its text changes with the next call for another code. Filling is
// serialised, so calls from several threads never mix two texts in the buffer.
const char* ErrorText(int32_t code, const char* library = kErrorTextLibrary);

}  // namespace ppi
