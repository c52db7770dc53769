#include "dynamic_library.h"

#include "meshjobs/host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace meshjobs::host::detail {

#if defined(_WIN32)

namespace {
std::string LastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length ? std::string(text, length) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    // One line: the system text ends in CR LF.
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}
}  // namespace

void* OpenLibrary(const std::string& path, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) *error = LastErrorText();
    return reinterpret_cast<void*>(module);
}

void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string ExecutableDirectory() {
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) throw HostError("cannot find the path of the running program");
    std::string path(buffer, length);
    return path.substr(0, path.find_last_of("\\/"));
}

#else

void* OpenLibrary(const std::string& path, std::string* error) {
    // A bare file name means the file in the current directory, not a search
    // of the loader's paths.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        *error = reason ? reason : "unknown loader error";
    }
    return library;
}

void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) { dlclose(library); }

std::string ExecutableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof buffer))
        throw HostError("cannot find the path of the running program (/proc/self/exe)");
    std::string path(buffer, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/'));
}

#endif

}  // namespace meshjobs::host::detail
