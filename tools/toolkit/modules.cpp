#include "toolkit/modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace meshjobs::tool {

namespace fs = std::filesystem;

namespace {

// Opened once and never closed: scenes and strings the module made may
// outlive any one caller.
template <typename Table>
const Table& Load(const Table*& table, const char* file, const char* entry, const char* purpose) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (table) return *table;
    const fs::path path = ModulePath(file);
    const std::string what = std::string(file) + ", which " + purpose;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error("cannot load " + what + ": " + dlerror());
    const auto functions = reinterpret_cast<const Table* (*)()>(dlsym(handle, entry));
    if (!functions) {
        dlclose(handle);
        throw std::runtime_error("cannot load " + what + ": " + path.string() + " has no " + entry);
    }
    const Table* loaded = functions();
    if (std::strcmp(loaded->version, MESHJOBS_VERSION) != 0) {
        const std::string version = loaded->version;
        dlclose(handle);
        throw std::runtime_error("cannot load " + what + ": " + path.string() + " is from meshjobs " + version +
                                 ", this tool is " + MESHJOBS_VERSION);
    }
    table = loaded;
    return *table;
}

}  // namespace

fs::path ModulePath(const std::string& file) {
    std::error_code error;
    const fs::path directory = fs::read_symlink("/proc/self/exe", error).parent_path();
    const fs::path beside = directory / file;
    const fs::path installed = directory.parent_path() / "lib" / file;
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
    return beside;
}

const SceneFunctions& SceneModule() {
    static const SceneFunctions* table = nullptr;
    return Load(table, SCENE_MODULE_FILE, MESHJOBS_SCENE_MODULE_ENTRY,
                "reads and writes every format but glTF 2.0");
}

const DracoFunctions& DracoModule() {
    static const DracoFunctions* table = nullptr;
    return Load(table, DRACO_MODULE_FILE, MESHJOBS_DRACO_MODULE_ENTRY, "decodes KHR_draco_mesh_compression");
}

}  // namespace meshjobs::tool
