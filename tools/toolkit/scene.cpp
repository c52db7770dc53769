#include "toolkit/scene.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/Exporter.hpp>
#include <assimp/IOStream.hpp>
#include <assimp/Importer.hpp>
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

#include "toolkit/output_files.h"
#include "toolkit/text.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

void SceneDeleter::operator()(aiScene* scene) const { delete scene; }

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

}  // namespace

ScenePtr ReadScene(const std::string& path, ReadPurpose purpose, std::vector<fs::path>* filesRead) {
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
    return ScenePtr(importer.GetOrphanedScene());
}

bool IsMeshFile(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) return false;
    static const Assimp::Importer importer;
    std::string lowered = extension;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
    // Side files of other formats that the importer also claims.
    if (lowered == ".bin" || lowered == ".mtl" || lowered == ".xml" || lowered == ".txt" || lowered == ".json")
        return false;
    return importer.IsExtensionSupported(lowered.c_str());
}

MeshAttributes AttributesOf(const aiMesh& mesh) {
    MeshAttributes a;
    a.name = mesh.mName.C_Str();
    a.vertexCount = static_cast<int32_t>(mesh.mNumVertices);
    const size_t n = mesh.mNumVertices;
    a.positions.resize(n * 3);
    for (size_t v = 0; v < n; ++v)
        for (int c = 0; c < 3; ++c) a.positions[v * 3 + c] = mesh.mVertices[v][c];
    if (mesh.mNormals) {
        a.normals.resize(n * 3);
        for (size_t v = 0; v < n; ++v)
            for (int c = 0; c < 3; ++c) a.normals[v * 3 + c] = mesh.mNormals[v][c];
    }
    if (mesh.mTangents) {
        a.tangents.resize(n * 4);
        for (size_t v = 0; v < n; ++v) {
            const aiVector3D& t = mesh.mTangents[v];
            float w = 1.0f;
            // Handedness: whether the bitangent agrees with normal x tangent.
            if (mesh.mNormals && mesh.mBitangents && ((mesh.mNormals[v] ^ t) * mesh.mBitangents[v]) < 0) w = -1.0f;
            a.tangents[v * 4 + 0] = t.x;
            a.tangents[v * 4 + 1] = t.y;
            a.tangents[v * 4 + 2] = t.z;
            a.tangents[v * 4 + 3] = w;
        }
    }
    if (mesh.mColors[0]) {
        a.colors.resize(n * 4);
        for (size_t v = 0; v < n; ++v) {
            const aiColor4D& c = mesh.mColors[0][v];
            a.colors[v * 4 + 0] = c.r;
            a.colors[v * 4 + 1] = c.g;
            a.colors[v * 4 + 2] = c.b;
            a.colors[v * 4 + 3] = c.a;
        }
    }
    for (int k = 0; k < UV_SET_COUNT; ++k) {
        if (!mesh.mTextureCoords[k]) continue;
        const int components = std::clamp<int>(mesh.mNumUVComponents[k] ? mesh.mNumUVComponents[k] : 2, 1, 3);
        a.uvComponents[k] = components;
        a.uvs[k].resize(n * components);
        for (size_t v = 0; v < n; ++v)
            for (int c = 0; c < components; ++c) a.uvs[k][v * components + c] = mesh.mTextureCoords[k][v][c];
    }
    a.primitiveSize = mesh.mNumFaces ? static_cast<int>(mesh.mFaces[0].mNumIndices) : 3;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (static_cast<int>(face.mNumIndices) != a.primitiveSize) a.primitiveSize = 0;
        a.indices.insert(a.indices.end(), face.mIndices, face.mIndices + face.mNumIndices);
    }
    return a;
}

namespace {

// One per-vertex array of a mesh or of one of its morph targets.
struct Column {
    void* data;        // where the mesh keeps it
    int floats;        // per vertex
    bool isColor;      // aiColor4D rather than aiVector3D
    void** owner;      // the mesh field to replace
};

void AddVectors(std::vector<Column>& columns, aiVector3D*& field) {
    if (field) columns.push_back({field, 3, false, reinterpret_cast<void**>(&field)});
}

void AddColors(std::vector<Column>& columns, aiColor4D*& field) {
    if (field) columns.push_back({field, 4, true, reinterpret_cast<void**>(&field)});
}

template <typename M>
void AddColumns(std::vector<Column>& columns, M& mesh) {
    AddVectors(columns, mesh.mVertices);
    AddVectors(columns, mesh.mNormals);
    AddVectors(columns, mesh.mTangents);
    AddVectors(columns, mesh.mBitangents);
    for (auto& colors : mesh.mColors) AddColors(columns, colors);
    for (auto& uvs : mesh.mTextureCoords) AddVectors(columns, uvs);
}

}  // namespace

MeshStrip StripMesh(Jobs& jobs, aiMesh& mesh, StripMethod method) {
    MeshStrip result;
    const size_t n = mesh.mNumVertices;
    result.verticesBefore = result.verticesAfter = static_cast<int32_t>(n);
    if (n > static_cast<size_t>(MAX_STRIP_VERTICES)) {
        result.skipped = Grouped(static_cast<int64_t>(n)) + " vertices; 16-bit indices reach 65,536, so not stripped";
        return result;
    }
    if (n == 0) return result;
    if (mesh.mNumFaces == 0) {
        result.skipped = "no faces (a point cloud?), left as it is";
        return result;
    }
    std::vector<Column> columns;
    AddColumns(columns, mesh);
    for (unsigned a = 0; a < mesh.mNumAnimMeshes; ++a) {
        if (mesh.mAnimMeshes[a]->mNumVertices != n) {
            result.skipped = "a morph target has a different vertex count; left as it is";
            return result;
        }
        AddColumns(columns, *mesh.mAnimMeshes[a]);
    }
    int32_t stride = 0;
    for (const Column& c : columns) stride += c.floats;

    std::vector<uint32_t> words(n * stride);
    for (size_t v = 0, at = 0; v < n; ++v)
        for (const Column& c : columns) {
            std::memcpy(&words[at], static_cast<const float*>(c.data) + v * c.floats, 4 * c.floats);
            at += c.floats;
        }
    std::vector<uint16_t> indices;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) {
            const unsigned index = mesh.mFaces[f].mIndices[i];
            if (index >= n) throw std::runtime_error("face " + std::to_string(f) + " names vertex " +
                                                     std::to_string(index) + " of " + std::to_string(n));
            indices.push_back(static_cast<uint16_t>(index));
        }

    const StripResult stripped = StripVertices(jobs, method, indices, words, stride);
    const size_t kept = stripped.verticesAfter;
    result.verticesAfter = stripped.verticesAfter;
    if (kept == n) return result;

    int32_t at = 0;
    for (const Column& c : columns) {
        float* fresh = c.isColor ? reinterpret_cast<float*>(new aiColor4D[kept])
                                 : reinterpret_cast<float*>(new aiVector3D[kept]);
        for (size_t v = 0; v < kept; ++v) std::memcpy(fresh + v * c.floats, &words[v * stride + at], 4 * c.floats);
        at += c.floats;
        if (c.isColor) {
            delete[] static_cast<aiColor4D*>(c.data);
            *reinterpret_cast<aiColor4D**>(c.owner) = reinterpret_cast<aiColor4D*>(fresh);
        } else {
            delete[] static_cast<aiVector3D*>(c.data);
            *reinterpret_cast<aiVector3D**>(c.owner) = reinterpret_cast<aiVector3D*>(fresh);
        }
    }
    mesh.mNumVertices = static_cast<unsigned>(kept);
    for (unsigned a = 0; a < mesh.mNumAnimMeshes; ++a) mesh.mAnimMeshes[a]->mNumVertices = static_cast<unsigned>(kept);

    size_t next = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) mesh.mFaces[f].mIndices[i] = indices[next++];

    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        aiBone& bone = *mesh.mBones[b];
        std::vector<aiVertexWeight> weights;
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
            const unsigned id = bone.mWeights[w].mVertexId;
            if (id < n && stripped.used[id])
                weights.emplace_back(static_cast<unsigned>(stripped.newIndex[id]), bone.mWeights[w].mWeight);
        }
        delete[] bone.mWeights;
        bone.mWeights = nullptr;
        bone.mNumWeights = static_cast<unsigned>(weights.size());
        if (!weights.empty()) {
            bone.mWeights = new aiVertexWeight[weights.size()];
            std::copy(weights.begin(), weights.end(), bone.mWeights);
        }
    }
    return result;
}

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

std::string ExporterFor(const std::string& extensionOrId) {
    std::string wanted = Lower(extensionOrId);
    const bool extension = !wanted.empty() && wanted[0] == '.';
    if (extension) wanted.erase(0, 1);
    if (wanted.empty()) return {};
    // A file extension gets the exporter whose files read back whole: glTF
    // 2.0 rather than 1.0, and ASCII FBX, since the importer cannot read the
    // binary FBX exporter's files.
    // The same for the names as words, since `--format glb` means a .glb
    // file; the glTF 1.0 exporters stay reachable as gltf1 and glb1.
    if (wanted == "gltf") return "gltf2";
    if (wanted == "glb") return "glb2";
    if (wanted == "fbx") return "fbxa";
    if (!extension && wanted == "gltf1") return "gltf";
    if (!extension && wanted == "glb1") return "glb";
    Assimp::Exporter exporter;
    if (!extension)
        for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
            if (Lower(exporter.GetExportFormatDescription(i)->id) == wanted)
                return exporter.GetExportFormatDescription(i)->id;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        if (Lower(exporter.GetExportFormatDescription(i)->fileExtension) == wanted)
            return exporter.GetExportFormatDescription(i)->id;
    return {};
}

ExportTraits TraitsOf(const std::string& exporterId) {
    // Found by writing every test model that loads with each exporter and
    // reading it back. Reading re-creates a vertex per face corner for OBJ,
    // STL, 3DS, Collada, X and FBX; the glTF 2.0 exporters join identical
    // vertices (and split a mesh of mixed primitives); OBJ merges meshes of
    // one node, PLY and STL files hold one mesh, 3DS and 3MF drop some.
    static const std::pair<const char*, ExportTraits> known[] = {
        {"assbin", {true, true, true}},   {"x3d", {true, true, true}},
        {"ply", {true, false, true}},     {"plyb", {true, false, true}},
        {"obj", {false, false, true}},    {"objnomtl", {false, false, true}},
        {"gltf2", {false, true, true}},   {"glb2", {false, true, true}},
        {"collada", {false, true, true}}, {"x", {false, true, true}},
        {"fbxa", {false, true, true}},    {"stl", {false, false, true}},
        {"stlb", {false, false, true}},   {"3ds", {false, false, true}},
        {"3mf", {false, false, true}},
        // The importer cannot read these back, or (glTF 1.0 binary) aborts
        // on half of them.
        {"fbx", {false, false, false}},   {"gltf", {false, false, false}},
        {"glb", {false, false, false}},   {"assxml", {false, false, false}},
        {"assjson", {false, false, false}}, {"stp", {false, false, false}},
        {"pbrt", {false, false, false}},
    };
    for (const auto& [id, traits] : known)
        if (exporterId == id) return traits;
    return {false, false, true};  // unknown: compare only what every format keeps
}

std::string ExporterExtension(const std::string& id) {
    Assimp::Exporter exporter;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        if (id == exporter.GetExportFormatDescription(i)->id) return exporter.GetExportFormatDescription(i)->fileExtension;
    return {};
}

std::string ExporterList() {
    Assimp::Exporter exporter;
    std::string list;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i) {
        if (!list.empty()) list += ", ";
        list += exporter.GetExportFormatDescription(i)->id;
    }
    return list;
}

namespace {

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

}  // namespace

void WriteScene(const aiScene& scene, StagedOutput& output, const fs::path& relative, const std::string& exporterId) {
    const fs::path path = output.StagedPath(relative);
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " + error.message());
    auto failure = std::make_shared<WriteFailure>();
    aiReturn status = aiReturn_FAILURE;
    std::string reason;
    {
        Assimp::Exporter exporter;
        exporter.SetIOHandler(new CheckedIOSystem(output.staging(), failure));  // the exporter owns it
        try {
            status = exporter.Export(&scene, exporterId, path.string());
        } catch (const std::exception& e) {
            reason = e.what();
        }
        if (status != aiReturn_SUCCESS && reason.empty()) reason = OneLine(exporter.GetErrorString());
    }  // the exporter's streams are all closed, and checked, by here
    if (failure->errorNumber) throw std::runtime_error(SystemMessage("cannot write", failure->file, failure->errorNumber));
    if (status != aiReturn_SUCCESS)
        throw std::runtime_error("cannot write " + exporterId + ": " + (reason.empty() ? "exporter failed" : reason));
}

void WriteScene(const aiScene& scene, const std::string& path, const std::string& exporterId) {
    const fs::path target(path);
    StagedOutput output(target.parent_path());
    WriteScene(scene, output, target.filename(), exporterId);
    output.Commit({}, target.filename());
}

}  // namespace meshjobs::tool
