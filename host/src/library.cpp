#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "dynamic_library.h"
#include "internal.h"

namespace meshjobs::host {

namespace {

// Initialization lives in the loaded image, which several Library objects may
// share; an image counts as initialized until its last Library goes away.
// Keyed by the address of burst.initialize, which names one loaded image.
struct ImageState {
    int libraries = 0;
    bool initialized = false;
};

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<void*, ImageState>& Registry() {
    static std::map<void*, ImageState> registry;
    return registry;
}

template <typename Function>
Function SymbolAs(const Library& library, const std::string& name) {
    return reinterpret_cast<Function>(library.Symbol(name));
}

}  // namespace

namespace detail {
bool IsInitialized(const Library& library) {
    void* key = library.Symbol(LIBRARY_INITIALIZER_NAME);
    if (!key) return false;
    std::lock_guard lock(RegistryMutex());
    auto found = Registry().find(key);
    return found != Registry().end() && found->second.initialized;
}
}  // namespace detail

Library Library::Load(const std::string& path) {
    std::string reason;
    void* handle = detail::OpenLibrary(path, &reason);
    if (!handle) throw HostError("cannot load the meshjobs library '" + path + "': " + reason);

    auto require = [&](const std::string& name) {
        void* symbol = detail::FindSymbol(handle, name.c_str());
        if (!symbol) {
            detail::CloseLibrary(handle);
            throw HostError("the library '" + path + "' has no export '" + name + "'");
        }
        return symbol;
    };

    Library library;
    void* initializer = require(LIBRARY_INITIALIZER_NAME);
    for (int job = 0; job < JOB_COUNT; ++job) {
        const std::string hash = JOB_HASHES[job];
        library.entries_[job] = reinterpret_cast<JobEntryFunction>(require(hash));
        require(MESHJOBS_JOB_INITIALIZER_PREFIX + hash);
        require(MESHJOBS_EXTERNALS_INITIALIZER_PREFIX + hash);
        require(MESHJOBS_STATICS_INITIALIZER_PREFIX + hash);
    }
    library.handle_ = handle;
    library.path_ = path;
    std::lock_guard lock(RegistryMutex());
    ++Registry()[initializer].libraries;
    return library;
}

std::string Library::DefaultPath() {
    const char* fromEnvironment = std::getenv("MESHJOBS_LIBRARY");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    const std::string directory = detail::ExecutableDirectory();
    const std::string beside = directory + detail::PATH_SEPARATOR + detail::LIBRARY_FILE_NAME;
#if !defined(_WIN32)
    // Installed: programs in PREFIX/bin, the library in PREFIX/lib.
    const std::string installed = directory.substr(0, directory.rfind('/')) + "/lib/" + detail::LIBRARY_FILE_NAME;
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
#endif
    return beside;
}

Library::Library(Library&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {
    std::copy(std::begin(other.entries_), std::end(other.entries_), entries_);
    std::fill(std::begin(other.entries_), std::end(other.entries_), nullptr);
}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        Library old(std::move(*this));
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        std::copy(std::begin(other.entries_), std::end(other.entries_), entries_);
        std::fill(std::begin(other.entries_), std::end(other.entries_), nullptr);
    }
    return *this;
}

Library::~Library() {
    if (!handle_) return;
    {
        void* key = detail::FindSymbol(handle_, LIBRARY_INITIALIZER_NAME);
        std::lock_guard lock(RegistryMutex());
        auto found = Registry().find(key);
        if (found != Registry().end() && --found->second.libraries == 0) Registry().erase(found);
    }
    detail::CloseLibrary(handle_);
}

void* Library::Symbol(const std::string& name) const {
    return handle_ ? detail::FindSymbol(handle_, name.c_str()) : nullptr;
}

InitializerFunction Library::JobInitializer(JobId job) const {
    detail::RequireKnownJob(job);
    return SymbolAs<InitializerFunction>(*this, MESHJOBS_JOB_INITIALIZER_PREFIX +
                                                    std::string(JOB_HASHES[static_cast<int>(job)]));
}

InitializerFunction Library::ExternalsInitializer(JobId job) const {
    detail::RequireKnownJob(job);
    return SymbolAs<InitializerFunction>(*this, MESHJOBS_EXTERNALS_INITIALIZER_PREFIX +
                                                    std::string(JOB_HASHES[static_cast<int>(job)]));
}

StaticsInitializerFunction Library::StaticsInitializer(JobId job) const {
    detail::RequireKnownJob(job);
    return SymbolAs<StaticsInitializerFunction>(*this, MESHJOBS_STATICS_INITIALIZER_PREFIX +
                                                           std::string(JOB_HASHES[static_cast<int>(job)]));
}

InitializerFunction Library::LibraryInitializer() const {
    return SymbolAs<InitializerFunction>(*this, LIBRARY_INITIALIZER_NAME);
}

void Library::Initialize() const {
    InitializerFunction initializer = LibraryInitializer();
    if (!initializer) throw HostError("Initialize on a library that was moved from");
    initializer(&Resolve);
    std::lock_guard lock(RegistryMutex());
    auto found = Registry().find(reinterpret_cast<void*>(initializer));
    if (found != Registry().end()) found->second.initialized = true;
}

}  // namespace meshjobs::host
