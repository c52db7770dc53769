// The platform's dynamic loader, behind four calls.
#pragma once

#include <string>

namespace meshjobs::host::detail {

// Null on failure, with the loader's reason in *error.
void* OpenLibrary(const std::string& path, std::string* error);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// The directory of the running program, without a trailing separator.
std::string ExecutableDirectory();

#if defined(_WIN32)
inline constexpr char LIBRARY_FILE_NAME[] = "meshjobs.dll";
inline constexpr char PATH_SEPARATOR = '\\';
#else
inline constexpr char LIBRARY_FILE_NAME[] = "libmeshjobs.so";
inline constexpr char PATH_SEPARATOR = '/';
#endif

}  // namespace meshjobs::host::detail
