#include "toolkit/cli.h"

#include <assimp/scene.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "toolkit/batch.h"
#include "toolkit/convert.h"
#include "toolkit/demo.h"
#include "toolkit/scene.h"
#include "toolkit/text.h"

namespace meshjobs::tool {

namespace fs = std::filesystem;

namespace {

const char GENERAL_HELP[] = R"(meshjobs: mesh-processing jobs of libmeshjobs, run through the host emulator.

usage: meshjobs COMMAND [options] [arguments]

commands:
  demo                          run every job on a built-in sphere, verify, time
  info FILE...                  meshes, vertex and index counts, attributes
  strip IN... OUT               remove vertices that no face uses
  convert IN... OUTDIR --layout L
                                convert vertices into a layout, write raw streams
  bench [BENCHMARK FLAGS]       the benchmark table: medians, ratios, goals
  help [COMMAND]                this text, or a command's

options for every command:
  --workers N     worker threads (default: all cores)
  --library PATH  libmeshjobs to load (default: $MESHJOBS_LIBRARY if set,
                  else the one beside this program)
  -h, --help      help for the command

IN may be files or folders; folders are searched for every format the
importer reads, and files are processed in parallel.
)";

const char DEMO_HELP[] = R"(usage: meshjobs demo [--workers N] [--repeat N]

Builds a UV sphere in memory (positions, normals, tangents, a color, two UV
sets, and some vertices that no triangle uses) and runs every job on it
through the host emulator: reference counting and marking, compaction,
index remapping, and conversion into the compact layout. Verifies that no
unused vertex is left, that every triangle has the same positions as before,
and that converted attributes lie within their format's quantisation error,
then prints each job's items, workers, time and throughput.

  --repeat N   time each job as the best of N runs (default 5)

Exit status 1 if any check fails.
)";

const char INFO_HELP[] = R"(usage: meshjobs info FILE|FOLDER...

For each mesh: vertex and index counts, primitives, attributes present, and
how many vertices no face uses (counted by the reference counting job).
)";

const char STRIP_HELP[] = R"(usage: meshjobs strip IN OUT [--method mark|count|both] [--format ID]
       meshjobs strip IN... OUTDIR [--method ...] [--format ID]

Removes the vertices that no face uses from every mesh and writes the mesh
through the exporter. Everything per vertex (normals, tangents, colors, UV
sets, morph targets, bone weights) stays with its vertex.

  --method mark   find used vertices with the marking job (default)
  --method count  with the reference counting job
  --method both   run both and require them to agree
  --format ID     exporter id or extension (obj, ply, stl, glb, gltf2, fbx,
                  ...); default: OUT's extension, or each input's own

The jobs take 16-bit indices, so a mesh of more than 65,536 vertices is
reported and written unstripped. With several inputs or a folder, OUTDIR
mirrors the input names.
)";

const char CONVERT_HELP[] = R"(usage: meshjobs convert IN OUTDIR --layout L [--matrix M] [--verify]
       meshjobs convert IN... OUTDIR --layout L [...]

Converts the vertices of every mesh into layout L with the conversion job
and writes, per mesh k, meshk.stream0.bin and meshk.stream1.bin (the
destination streams, raw), meshk.indices.bin (UInt16, or UInt32 above 65,536
vertices) and one manifest.json describing them: per attribute its slot,
format, dimension, offset, stream and stride, and each mesh's vertex count.
Polygons are triangulated and meshes split by primitive kind first.

  --layout full     all Float32: position, normal, tangent in stream 0;
                    color and UV sets in stream 1
  --layout compact  Float32x3 position, SNorm8x4 normal and tangent in
                    stream 0; UNorm8x4 color and Float16x2 UV sets in stream 1
  --layout TEXT     slot:format[xN][@stream] entries, comma-separated, packed
                    in slot order; slots position, normal, tangent, color,
                    uv0..uv7; formats unorm8, snorm8, f16, f32; e.g.
                    position:f32x3,normal:snorm8x4,uv0:f16x2@1
  --matrix M        16 numbers, column by column (translation last), that
                    transform positions and tangents; normals get its inverse
                    transpose
  --verify          decode the streams back and report the largest error per
                    attribute; fail if one exceeds its format's quantisation

Attributes a mesh lacks are left out of its layout.
)";

const std::map<std::string, const char*> COMMAND_HELP = {
    {"demo", DEMO_HELP}, {"info", INFO_HELP}, {"strip", STRIP_HELP}, {"convert", CONVERT_HELP}};

const std::map<std::string, std::set<std::string>> COMMAND_OPTIONS = {
    {"demo", {"--repeat"}},
    {"info", {}},
    {"strip", {"--method", "--format"}},
    {"convert", {"--layout", "--matrix", "--verify"}},
    {"help", {}},
};

const std::set<std::string> VALUE_OPTIONS = {"--workers", "--library", "--repeat", "--method",
                                             "--format",  "--layout",  "--matrix"};
const std::set<std::string> COMMON_OPTIONS = {"--workers", "--library", "--help"};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Command {
    std::string name;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    bool Has(const std::string& option) const { return values.count(option) || flags.count(option); }
    std::string Value(const std::string& option, const std::string& fallback = {}) const {
        const auto it = values.find(option);
        return it == values.end() ? fallback : it->second;
    }
};

Command Parse(const std::vector<std::string>& args) {
    Command command;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (command.name.empty())
                command.name = arg;
            else
                command.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") arg = "--help";
        std::string value;
        bool hasValue = false;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
            hasValue = true;
        }
        if (VALUE_OPTIONS.count(arg)) {
            if (!hasValue) {
                if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
                value = args[++i];
            }
            command.values[arg] = value;
        } else if (arg == "--help" || arg == "--verify") {
            if (hasValue) throw UsageError(arg + " takes no value");
            command.flags.insert(arg);
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    if (!command.name.empty() && !COMMAND_OPTIONS.count(command.name))
        throw UsageError("unknown command '" + command.name + "'");
    if (!command.name.empty()) {
        const auto& allowed = COMMAND_OPTIONS.at(command.name);
        for (const auto& [option, value] : command.values)
            if (!allowed.count(option) && !COMMON_OPTIONS.count(option))
                throw UsageError(option + " does not apply to " + command.name);
        for (const std::string& flag : command.flags)
            if (!allowed.count(flag) && !COMMON_OPTIONS.count(flag))
                throw UsageError(flag + " does not apply to " + command.name);
    }
    return command;
}

int PositiveNumber(const std::string& option, const std::string& text, int most) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || used == 0 || value < 1 || value > most)
        throw UsageError(option + " wants a whole number from 1 to " + std::to_string(most) + ", not '" + text + "'");
    return value;
}

int Workers(const Command& command) {
    if (command.values.count("--workers")) return PositiveNumber("--workers", command.Value("--workers"), 1024);
    return std::max(1u, std::thread::hardware_concurrency());
}

std::string Quoted(const std::string& name) { return name.empty() ? "(unnamed)" : "'" + name + "'"; }

std::string MeshLabel(unsigned index, const aiMesh& mesh) {
    return "mesh " + std::to_string(index) + " " + Quoted(mesh.mName.C_Str());
}

// What an engine would call the mesh's primitives.
std::string Primitives(const aiMesh& mesh) {
    std::map<unsigned, int64_t> bySize;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) ++bySize[std::min(mesh.mFaces[f].mNumIndices, 4u)];
    static const char* const names[] = {"empty face", "point", "line", "triangle", "polygon"};
    std::string text;
    for (const auto& [size, count] : bySize) {
        if (!text.empty()) text += ", ";
        text += Grouped(count);
        text += ' ';
        text += names[size];
        if (count != 1) text += 's';
    }
    return text.empty() ? "no faces" : text;
}

std::string AttributeList(const aiMesh& mesh) {
    std::string text = "position";
    if (mesh.mNormals) text += " normal";
    if (mesh.mTangents) text += " tangent";
    const unsigned colorSets = mesh.GetNumColorChannels();
    if (colorSets) text += colorSets == 1 ? " color" : " color(" + std::to_string(colorSets) + " sets)";
    for (unsigned k = 0; k < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++k)
        if (mesh.mTextureCoords[k]) text += " uv" + std::to_string(k) + "x" + std::to_string(mesh.mNumUVComponents[k]);
    if (mesh.mNumBones) text += " bones(" + std::to_string(mesh.mNumBones) + ")";
    if (mesh.mNumAnimMeshes) text += " morph-targets(" + std::to_string(mesh.mNumAnimMeshes) + ")";
    return text;
}

FileOutcome InfoFile(const FileTask& task, Jobs& jobs) {
    const ScenePtr scene = ReadScene(task.input, ReadPurpose::AsIs);
    std::ostringstream lines;
    int64_t vertices = 0, indices = 0;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene->mMeshes[m];
        vertices += mesh.mNumVertices;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) indices += mesh.mFaces[f].mNumIndices;
    }
    lines << task.input << ": " << scene->mNumMeshes << (scene->mNumMeshes == 1 ? " mesh, " : " meshes, ")
          << Grouped(vertices) << " vertices, " << Grouped(indices) << " indices\n";
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene->mMeshes[m];
        const MeshAttributes attributes = AttributesOf(mesh);
        lines << "  " << MeshLabel(m, mesh) << ": " << Grouped(mesh.mNumVertices) << " vertices, "
              << Grouped(static_cast<int64_t>(attributes.indices.size())) << " indices (" << Primitives(mesh) << "), ";
        if (mesh.mNumVertices > MAX_STRIP_VERTICES) {
            lines << "unused not counted (over 65,536 vertices)";
        } else {
            const std::vector<uint16_t> narrow(attributes.indices.begin(), attributes.indices.end());
            const auto counts = CountVertexReferences(jobs, narrow, attributes.vertexCount);
            lines << Grouped(std::count(counts.begin(), counts.end(), 0)) << " unused";
        }
        lines << "; " << AttributeList(mesh) << "\n";
    }
    return {true, lines.str(), {}};
}

StripMethod MethodOf(const Command& command) {
    const std::string method = command.Value("--method", "mark");
    if (method == "mark") return StripMethod::Mark;
    if (method == "count") return StripMethod::Count;
    if (method == "both") return StripMethod::Both;
    throw UsageError("--method is mark, count or both, not '" + method + "'");
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::exists(b, error) && fs::equivalent(a, b, error);
}

void MakeParent(const fs::path& path) {
    std::error_code error;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), error);
    if (error) throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " + error.message());
}

FileOutcome StripFile(const FileTask& task, Jobs& jobs, StripMethod method, const fs::path& output,
                      const std::string& exporter) {
    if (SameFile(task.input, output)) throw std::runtime_error("the output would overwrite the input");
    const ScenePtr scene = ReadScene(task.input, ReadPurpose::AsIs);
    std::ostringstream notes;
    int64_t before = 0, after = 0;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        aiMesh& mesh = *scene->mMeshes[m];
        MeshStrip strip;
        try {
            strip = StripMesh(jobs, mesh, method);
        } catch (const host::JobException& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": job failed: " + e.typeName() + ": " + e.message());
        } catch (const std::exception& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": " + e.what());
        }
        before += strip.verticesBefore;
        after += strip.verticesAfter;
        if (!strip.skipped.empty()) notes << "  " << MeshLabel(m, mesh) << ": " << strip.skipped << "\n";
    }
    MakeParent(output);
    WriteScene(*scene, output.string(), exporter);
    std::ostringstream report;
    report << task.input << " -> " << output.string() << ": " << scene->mNumMeshes
           << (scene->mNumMeshes == 1 ? " mesh, " : " meshes, ") << Grouped(before) << " -> " << Grouped(after)
           << " vertices (" << Grouped(before - after) << " removed)\n"
           << notes.str();
    return {true, report.str(), {}};
}

FileOutcome ConvertFile(const FileTask& task, Jobs& jobs, const Layout& layout, const Float4x4& matrix, bool verify,
                        const fs::path& directory) {
    const ScenePtr scene = ReadScene(task.input, ReadPurpose::ForEngine);
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) throw std::runtime_error("cannot create folder " + directory.string() + ": " + error.message());

    std::ostringstream report, checks;
    std::string failure;
    std::vector<ManifestEntry> entries;
    int64_t vertices = 0, bytes = 0;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene->mMeshes[m];
        const MeshAttributes attributes = AttributesOf(mesh);
        ConvertedMesh converted;
        try {
            converted = ConvertMesh(jobs, attributes, layout, matrix);
        } catch (const host::JobException& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": job failed: " + e.typeName() + ": " + e.message());
        } catch (const std::exception& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": " + e.what());
        }
        entries.push_back(WriteConvertedMesh(directory, static_cast<int>(m), attributes, converted));
        vertices += converted.vertexCount;
        bytes += static_cast<int64_t>(converted.streams[0].size() + converted.streams[1].size());
        if (!verify) continue;
        checks << "  " << MeshLabel(m, mesh) << ":";
        for (const AttributeCheck& c : VerifyConversion(converted, attributes, matrix)) {
            checks << " " << SlotName(c.slot);
            if (c.compared == 0)
                checks << " (nothing finite to compare)";
            else
                checks << " " << Number(c.largestError) << (c.within ? " (bound " : " (BEYOND ") << Number(c.bound)
                       << ")";
            if (c.skipped) checks << " [" << Grouped(c.skipped) << " not comparable]";
            if (!c.within && failure.empty())
                failure = "verification failed: " + MeshLabel(m, mesh) + " " + SlotName(c.slot) + ": largest error " +
                          Number(c.largestError) + " beyond its " + FormatName(c.format) + " bound " + Number(c.bound);
        }
        checks << "\n";
    }
    const fs::path manifest = directory / "manifest.json";
    std::ofstream(manifest) << ManifestJson(task.input, layout, matrix, entries);
    if (!std::ifstream(manifest)) throw std::runtime_error("cannot write " + manifest.string());
    report << task.input << " -> " << manifest.string() << ": " << scene->mNumMeshes
           << (scene->mNumMeshes == 1 ? " mesh, " : " meshes, ") << Grouped(vertices) << " vertices, "
           << Grouped(bytes) << " bytes of vertex streams\n"
           << checks.str();
    return {failure.empty(), report.str(), failure};
}

// Several inputs, a folder, or an OUT ending in a slash write into OUT as a
// folder.
bool FolderOutput(const Command& command, const std::vector<FileTask>& tasks) {
    if (command.positional.size() > 2 || tasks.size() != 1 || tasks[0].fromFolder) return true;
    const std::string& out = command.positional.back();
    if (command.name == "strip" && !out.empty() && out.back() == '/') return true;
    std::error_code error;
    return fs::is_directory(command.positional[0], error);
}

int Finish(const BatchSummary& summary, size_t tasks, std::ostream& out) {
    if (tasks > 1)
        out << tasks << " files: " << summary.done << " done, " << summary.failed << " failed\n";
    return summary.failed ? 1 : 0;
}

std::vector<FileTask> Inputs(const std::vector<std::string>& paths) {
    std::vector<FileTask> tasks = CollectInputs(paths);
    if (tasks.empty()) {
        std::string list;
        for (const std::string& p : paths) list += (list.empty() ? "" : ", ") + p;
        throw std::runtime_error("no mesh files in " + list);
    }
    return tasks;
}

int Run(const Command& command, std::ostream& out, std::ostream& err, const CliEnvironment& environment) {
    const std::string& name = command.name;
    const auto& args = command.positional;
    if (name == "info" && args.empty()) throw UsageError("info needs at least one file or folder");
    if ((name == "strip" || name == "convert") && args.size() < 2)
        throw UsageError(name + " needs an input and an output");
    if (name == "demo" && !args.empty()) throw UsageError("demo takes no arguments");

    const int workers = Workers(command);
    const int repeat = command.Has("--repeat") ? PositiveNumber("--repeat", command.Value("--repeat"), 1000) : 5;
    const StripMethod method = name == "strip" ? MethodOf(command) : StripMethod::Mark;
    Layout layout;
    Float4x4 matrix = IdentityMatrix();
    if (name == "convert") {
        if (!command.Has("--layout")) throw UsageError("convert needs --layout full, compact or slot:format entries");
        try {
            layout = ParseLayout(command.Value("--layout"));
            if (command.Has("--matrix")) matrix = ParseMatrix(command.Value("--matrix"));
            if (command.Has("--matrix") && layout.slots[NORMAL]) NormalMatrixFor(matrix);
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    }
    std::string exporter;
    if (command.Has("--format")) {
        exporter = ExporterFor(command.Value("--format"));
        if (exporter.empty())
            throw UsageError("no exporter called '" + command.Value("--format") + "'; choose from " + ExporterList());
    }

    const std::string libraryPath = command.Value("--library", host::Library::DefaultPath());
    host::Library library = [&] {
        try {
            return LoadLibrary(libraryPath);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot load the job library: ") + e.what());
        }
    }();

    if (name == "demo") {
        DemoOptions options;
        options.workers = workers;
        options.repeat = repeat;
        const DemoReport report = RunDemo(library, options);
        PrintDemo(report, out);
        return report.ok() ? 0 : 1;
    }

    const BatchOptions batch{workers, environment.stderrIsTerminal};
    if (name == "info") {
        const auto tasks = Inputs(args);
        return Finish(RunBatch(library, tasks, InfoFile, batch, out, err), tasks.size(), out);
    }

    const std::vector<std::string> inputs(args.begin(), args.end() - 1);
    const fs::path output = args.back();
    const auto tasks = Inputs(inputs);
    const bool intoFolder = FolderOutput(command, tasks);

    if (name == "strip") {
        if (!intoFolder && exporter.empty()) {
            fs::path target = output;
            std::error_code error;
            if (fs::is_directory(target, error)) target /= tasks[0].relative;
            exporter = ExporterFor(target.extension().string());
            if (target.extension().empty())
                throw UsageError("cannot tell a format from '" + target.string() +
                                 "': give it an extension, or choose one with --format");
            if (exporter.empty())
                throw UsageError("no exporter writes '" + target.extension().string() + "' files (" +
                                 target.string() + "); choose one with --format");
        }
        FileWork work = [&](const FileTask& task, Jobs& jobs) {
            fs::path target = output;
            std::string id = exporter;
            std::error_code error;
            if (intoFolder || fs::is_directory(target, error)) {
                fs::path relative = task.relative;
                if (!exporter.empty()) {
                    relative.replace_extension(ExporterExtension(exporter));
                } else {
                    id = ExporterFor(relative.extension().string());
                    if (id.empty())
                        throw std::runtime_error("no exporter writes '" + relative.extension().string() +
                                                 "' files; choose one with --format");
                }
                target = (intoFolder ? output : target) / relative;
            }
            return StripFile(task, jobs, method, target, id);
        };
        return Finish(RunBatch(library, tasks, work, batch, out, err), tasks.size(), out);
    }

    // convert
    const bool verify = command.flags.count("--verify") > 0;
    FileWork work = [&](const FileTask& task, Jobs& jobs) {
        const fs::path directory = intoFolder ? output / task.relative : output;
        return ConvertFile(task, jobs, layout, matrix, verify, directory);
    };
    return Finish(RunBatch(library, tasks, work, batch, out, err), tasks.size(), out);
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment) {
    Command command;
    try {
        command = Parse(args);
    } catch (const UsageError& e) {
        err << "meshjobs: " << e.what() << " (see 'meshjobs --help')\n";
        return 2;
    }
    if (command.name.empty()) {
        (command.flags.count("--help") ? out : err) << GENERAL_HELP;
        return command.flags.count("--help") ? 0 : 2;
    }
    if (command.name == "help") {
        if (command.positional.empty()) {
            out << GENERAL_HELP;
            return 0;
        }
        const auto it = COMMAND_HELP.find(command.positional[0]);
        if (it == COMMAND_HELP.end()) {
            err << "meshjobs: no command '" << command.positional[0] << "' (see 'meshjobs --help')\n";
            return 2;
        }
        out << it->second;
        return 0;
    }
    if (command.flags.count("--help")) {
        out << COMMAND_HELP.at(command.name);
        return 0;
    }
    try {
        return Run(command, out, err, environment);
    } catch (const UsageError& e) {
        err << "meshjobs " << command.name << ": " << e.what() << " (see 'meshjobs " << command.name << " --help')\n";
        return 2;
    } catch (const host::JobException& e) {
        err << "meshjobs " << command.name << ": job failed: " << e.typeName() << ": " << e.message() << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << "meshjobs " << command.name << ": " << e.what() << "\n";
        return 1;
    }
}

}  // namespace meshjobs::tool
