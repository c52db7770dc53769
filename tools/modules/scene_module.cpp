// libmeshjobs_scene.so: the general importer and exporter, loaded by the tool
// only for files that need them (toolkit/modules.h). Everything here calls
// into the importer's library; what only looks at a scene's structures stays
// in the tool.
#include <assimp/DefaultIOSystem.h>
#include <assimp/Exporter.hpp>
#include <assimp/IOStream.hpp>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "toolkit/modules.h"
#include "toolkit/scene.h"
#include "toolkit/scene_census.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

namespace {

// What the tool relies on before touching a mesh. The importer's own
// validation would also refuse point clouds, which convert well.
void CheckScene(const aiScene& scene) {
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh* mesh = scene.mMeshes ? scene.mMeshes[m] : nullptr;
        const std::string label = "mesh " + std::to_string(m);
        if (!mesh) throw std::runtime_error(label + " is missing");
        const size_t n = mesh->mNumVertices;
        if (n > 0 && !mesh->mVertices) throw std::runtime_error(label + " has no positions");
        if (mesh->mNumFaces > 0 && !mesh->mFaces) throw std::runtime_error(label + " has no faces array");
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices > 0 && !face.mIndices)
                throw std::runtime_error(label + " face " + std::to_string(f) + " has no indices");
            for (unsigned i = 0; i < face.mNumIndices; ++i)
                if (face.mIndices[i] >= n)
                    throw std::runtime_error(label + " face " + std::to_string(f) + " names vertex " +
                                             std::to_string(face.mIndices[i]) + " of " + std::to_string(n));
        }
        for (unsigned a = 0; a < mesh->mNumAnimMeshes; ++a)
            if (!mesh->mAnimMeshes || !mesh->mAnimMeshes[a])
                throw std::runtime_error(label + " morph target " + std::to_string(a) + " is missing");
        for (unsigned b = 0; b < mesh->mNumBones; ++b)
            if (!mesh->mBones || !mesh->mBones[b] || (mesh->mBones[b]->mNumWeights && !mesh->mBones[b]->mWeights))
                throw std::runtime_error(label + " bone " + std::to_string(b) + " is missing");
    }
}

std::string OneLine(std::string reason) {
    while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) reason.pop_back();
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    return reason;
}

fs::path Normalised(const char* file) {
    std::error_code error;
    const fs::path absolute = fs::absolute(file, error);
    return (error ? fs::path(file) : absolute).lexically_normal();
}

// The importer's own file access, noting every file it opens, so a caller
// knows which of the input's side files (buffers, materials) were read.
class RecordingIOSystem : public Assimp::IOSystem {
public:
    explicit RecordingIOSystem(std::vector<fs::path>& opened) : opened_(opened) {}
    using Assimp::IOSystem::Open;
    bool Exists(const char* file) const override { return files_.Exists(file); }
    char getOsSeparator() const override { return files_.getOsSeparator(); }
    bool ComparePaths(const char* one, const char* two) const override { return files_.ComparePaths(one, two); }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        Assimp::IOStream* stream = files_.Open(file, mode);
        if (stream) {
            const fs::path path = Normalised(file);
            if (std::find(opened_.begin(), opened_.end(), path) == opened_.end()) opened_.push_back(path);
        }
        return stream;
    }
    void Close(Assimp::IOStream* stream) override { files_.Close(stream); }

private:
    Assimp::DefaultIOSystem files_;
    std::vector<fs::path>& opened_;
};

// The system's reason a file cannot be read, before the importer turns it
// into one of its own ("unable to open file").
void CheckReadable(const std::string& path) {
    // Non-blocking, so a FIFO given by mistake is refused instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read: " + std::system_category().message(errno));
    struct stat info {};
    const int statted = ::fstat(fd, &info);
    const int statError = errno;
    ::close(fd);
    if (statted != 0) throw std::runtime_error("cannot read: " + std::system_category().message(statError));
    if (S_ISDIR(info.st_mode)) throw std::runtime_error("cannot read: " + std::system_category().message(EISDIR));
    if (!S_ISREG(info.st_mode)) throw std::runtime_error("cannot read: not a regular file");
}

aiScene* Read(const std::string& path, ReadPurpose purpose, std::vector<fs::path>* filesRead) {
    CheckReadable(path);
    unsigned flags = 0;
    if (purpose == ReadPurpose::ForEngine) flags |= aiProcess_Triangulate | aiProcess_SortByPType;
    std::vector<fs::path> opened;
    Assimp::Importer importer;
    importer.SetIOHandler(new RecordingIOSystem(opened));  // the importer owns it
    const aiScene* scene = importer.ReadFile(path, flags);
    if (!scene) {
        const std::string reason = OneLine(importer.GetErrorString());
        throw std::runtime_error("cannot read: " + (reason.empty() ? std::string("unknown format") : reason));
    }
    if (scene->mNumMeshes == 0) throw std::runtime_error("no mesh in the file");
    CheckScene(*scene);
    // Some importers make empty meshes of a file cut short rather than fail.
    bool anything = false;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m)
        anything = anything || scene->mMeshes[m]->mNumVertices > 0 || scene->mMeshes[m]->mNumFaces > 0;
    if (!anything) throw std::runtime_error("no mesh in the file");
    const fs::path main = Normalised(path.c_str());
    if (std::find(opened.begin(), opened.end(), main) == opened.end()) opened.insert(opened.begin(), main);
    if (filesRead) *filesRead = std::move(opened);
    return importer.GetOrphanedScene();
}

void Release(aiScene* scene) { delete scene; }

bool ReadsExtension(const std::string& extension) {
    static const Assimp::Importer importer;
    return importer.IsExtensionSupported(extension.c_str());
}

std::vector<std::pair<std::string, std::string>> Exporters() {
    Assimp::Exporter exporter;
    std::vector<std::pair<std::string, std::string>> exporters;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        exporters.emplace_back(exporter.GetExportFormatDescription(i)->id,
                               exporter.GetExportFormatDescription(i)->fileExtension);
    return exporters;
}

void CountPlacements(const aiNode* node, const aiScene& scene, std::vector<int64_t>& placements, int depth) {
    if (!node || depth > 1000) return;  // a node tree that loops is not walked forever
    for (unsigned k = 0; k < node->mNumMeshes; ++k)
        if (node->mMeshes[k] < scene.mNumMeshes) ++placements[node->mMeshes[k]];
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        CountPlacements(node->mChildren[c], scene, placements, depth + 1);
}

// The importers add a material when a file has none: named so by most, left
// unnamed by the PLY importer.
bool IsStandIn(const aiMaterial& material) {
    aiString name;
    if (material.Get(AI_MATKEY_NAME, name) != aiReturn_SUCCESS) return true;
    const std::string text = name.C_Str();
    return text.empty() || text == AI_DEFAULT_MATERIAL_NAME;
}

void Census(const aiScene& scene, SceneCensus& c) {
    c = {};
    std::vector<int64_t> placements(scene.mNumMeshes, 0);
    CountPlacements(scene.mRootNode, scene, placements, 0);
    std::set<unsigned> usedMaterials;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        if (mesh.mNumVertices == 0 && mesh.mNumFaces == 0) continue;
        const int64_t times = std::max<int64_t>(placements[m], 1);
        int64_t triangles = 0, lines = 0, points = 0;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const unsigned corners = mesh.mFaces[f].mNumIndices;
            if (corners >= 3) triangles += corners - 2;
            if (corners == 2) ++lines;
            if (corners == 1) ++points;
        }
        c.meshes += times;
        c.vertices += times * mesh.mNumVertices;
        c.triangles += times * triangles;
        c.lines += times * lines;
        c.points += times * points;

        c.normals += mesh.mNormals != nullptr;
        c.tangents += mesh.mTangents != nullptr;
        c.colorSets += mesh.GetNumColorChannels();
        c.uvSets += mesh.GetNumUVChannels();
        c.mostColorSets = std::max<int64_t>(c.mostColorSets, mesh.GetNumColorChannels());
        c.mostUvSets = std::max<int64_t>(c.mostUvSets, mesh.GetNumUVChannels());
        c.morphTargets += mesh.mNumAnimMeshes;
        c.skinnedMeshes += mesh.mNumBones > 0;
        c.bones += mesh.mNumBones;
        if (scene.mMaterials && mesh.mMaterialIndex < scene.mNumMaterials) usedMaterials.insert(mesh.mMaterialIndex);
    }
    c.animations = scene.mNumAnimations;
    c.cameras = scene.mNumCameras;
    c.lights = scene.mNumLights;
    c.embeddedTextures = scene.mNumTextures;

    std::set<std::string> textures;
    for (unsigned index : usedMaterials) {
        const aiMaterial& material = *scene.mMaterials[index];
        if (IsStandIn(material)) continue;
        ++c.materials;
        for (int type = aiTextureType_NONE; type <= aiTextureType_UNKNOWN; ++type)
            for (unsigned k = 0; k < material.GetTextureCount(static_cast<aiTextureType>(type)); ++k) {
                aiString path;
                if (material.GetTexture(static_cast<aiTextureType>(type), k, &path) != aiReturn_SUCCESS) continue;
                const std::string file = path.C_Str();
                // "*N" and names of textures the file carries are not files.
                if (file.empty() || file[0] == '*' || scene.GetEmbeddedTexture(file.c_str())) continue;
                textures.insert(file);
            }
    }
    c.textureFiles.assign(textures.begin(), textures.end());
}

// What the exporter's streams learnt about the disk: the first failure.
struct WriteFailure {
    int errorNumber = 0;
    fs::path file;
    void Note(int error, const fs::path& path) {
        if (errorNumber) return;
        errorNumber = error ? error : EIO;
        file = path;
    }
};

class CheckedStream;
// Streams not yet closed. Exporters close them through the IOSystem or by
// deleting them themselves, so each stream leaves this on its own.
using OpenStreams = std::set<CheckedStream*>;

// A file the exporter writes through: every write checked, and on closing
// flushed, synced and closed with each step checked.
class CheckedStream : public Assimp::IOStream {
public:
    CheckedStream(FILE* file, fs::path path, std::shared_ptr<WriteFailure> failure, std::shared_ptr<OpenStreams> open)
        : file_(file), path_(std::move(path)), failure_(std::move(failure)), open_(std::move(open)) {
        open_->insert(this);
    }
    ~CheckedStream() override {
        open_->erase(this);
        if (std::fflush(file_) != 0) failure_->Note(errno, path_);
        if (::fsync(::fileno(file_)) != 0 && errno != EINVAL) failure_->Note(errno, path_);
        if (std::fclose(file_) != 0) failure_->Note(errno, path_);
    }
    size_t Read(void* buffer, size_t size, size_t count) override { return std::fread(buffer, size, count, file_); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        const size_t written = std::fwrite(buffer, size, count, file_);
        if (written != count) failure_->Note(errno, path_);
        return written;
    }
    aiReturn Seek(size_t offset, aiOrigin origin) override {
        const int whence = origin == aiOrigin_CUR ? SEEK_CUR : origin == aiOrigin_END ? SEEK_END : SEEK_SET;
        if (std::fseek(file_, static_cast<long>(offset), whence) == 0) return aiReturn_SUCCESS;
        failure_->Note(errno, path_);
        return aiReturn_FAILURE;
    }
    size_t Tell() const override { return static_cast<size_t>(std::ftell(file_)); }
    size_t FileSize() const override {
        struct stat info {};
        return ::fstat(::fileno(file_), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
    }
    void Flush() override {
        if (std::fflush(file_) != 0) failure_->Note(errno, path_);
    }

private:
    FILE* file_;
    fs::path path_;
    std::shared_ptr<WriteFailure> failure_;
    std::shared_ptr<OpenStreams> open_;
};

// Hands the exporter checked streams, and closes any it forgets to.
class CheckedIOSystem : public Assimp::IOSystem {
public:
    CheckedIOSystem(fs::path staging, std::shared_ptr<WriteFailure> failure)
        : staging_(std::move(staging)), failure_(std::move(failure)) {}
    ~CheckedIOSystem() override {
        const OpenStreams forgotten = *open_;
        for (CheckedStream* stream : forgotten) delete stream;
    }
    using Assimp::IOSystem::Open;
    bool Exists(const char* file) const override { return files_.Exists(file); }
    char getOsSeparator() const override { return files_.getOsSeparator(); }
    bool ComparePaths(const char* one, const char* two) const override { return files_.ComparePaths(one, two); }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        if (!std::strpbrk(mode, "wa+")) return files_.Open(file, mode);
        const fs::path shown = fs::path(file).lexically_relative(staging_);
        FILE* handle = std::fopen(file, mode);
        if (!handle) {
            failure_->Note(errno, shown.empty() ? fs::path(file) : shown);
            return nullptr;
        }
        return new CheckedStream(handle, shown.empty() ? fs::path(file) : shown, failure_, open_);
    }
    void Close(Assimp::IOStream* stream) override {
        auto* checked = dynamic_cast<CheckedStream*>(stream);
        if (checked && open_->count(checked)) return delete checked;
        files_.Close(stream);
    }

private:
    fs::path staging_;
    std::shared_ptr<WriteFailure> failure_;
    Assimp::DefaultIOSystem files_;
    std::shared_ptr<OpenStreams> open_ = std::make_shared<OpenStreams>();
};

SceneWriteFailure Write(const aiScene& scene, const fs::path& path, const fs::path& staging,
                        const std::string& exporterId) {
    auto failure = std::make_shared<WriteFailure>();
    aiReturn status = aiReturn_FAILURE;
    std::string reason;
    {
        Assimp::Exporter exporter;
        exporter.SetIOHandler(new CheckedIOSystem(staging, failure));  // the exporter owns it
        try {
            status = exporter.Export(&scene, exporterId, path.string());
        } catch (const std::exception& e) {
            reason = e.what();
        }
        if (status != aiReturn_SUCCESS && reason.empty()) reason = OneLine(exporter.GetErrorString());
    }  // the exporter's streams are all closed, and checked, by here
    SceneWriteFailure result;
    result.errorNumber = failure->errorNumber;
    result.file = failure->file;
    if (status != aiReturn_SUCCESS) result.reason = reason.empty() ? "exporter failed" : reason;
    return result;
}

const SceneFunctions FUNCTIONS = {MESHJOBS_VERSION, Read, Release, Census, ReadsExtension, Exporters, Write};

}  // namespace

}  // namespace meshjobs::tool

extern "C" __attribute__((visibility("default"))) const meshjobs::tool::SceneFunctions* meshjobs_scene_functions() {
    return &meshjobs::tool::FUNCTIONS;
}
