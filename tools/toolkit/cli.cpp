#include "toolkit/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "toolkit/batch.h"
#include "toolkit/convert.h"
#include "toolkit/demo.h"
#include "toolkit/file_work.h"
#include "toolkit/gltf_convert.h"
#include "toolkit/help_texts.h"
#include "toolkit/modules.h"
#include "toolkit/output_files.h"
#include "toolkit/scene.h"
#include "toolkit/worker_channel.h"

namespace meshjobs::tool {

namespace fs = std::filesystem;

namespace {

// The hidden command a worker process runs: `__worker CONTEXT INDEX`.
const char WORKER_COMMAND[] = "__worker";

#if defined(__SANITIZE_ADDRESS__)
#define MESHJOBS_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MESHJOBS_ADDRESS_SANITIZER 1
#endif
#endif
// The address sanitizer reserves terabytes of address space, so a limit on
// it would stop every worker: sanitized builds default to none.
#ifdef MESHJOBS_ADDRESS_SANITIZER
const char DEFAULT_MAX_MEMORY[] = "none";
#else
const char DEFAULT_MAX_MEMORY[] = "4G";
#endif

const std::map<std::string, const char*> COMMAND_HELP = {{"demo", DEMO_HELP},       {"info", INFO_HELP},
                                                         {"strip", STRIP_HELP},     {"convert", CONVERT_HELP},
                                                         {"bench", BENCH_HELP}};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::string workers, threads, repeat = "5", timeout = "300", maxMemory = DEFAULT_MAX_MEMORY;
    std::string library, method = "mark", format, layout, matrix, report, shard;
    bool verify = false, strict = false, quiet = false, help = false, version = false;
};

Options Parse(const std::vector<std::string>& args) {
    Options o;
    if (!args.empty() && !args[0].empty() && args[0][0] != '-' && !COMMAND_HELP.count(args[0]) && args[0] != "help")
        throw UsageError("unknown command '" + args[0] + "'");
    CLI::App app{"meshjobs"};
    app.set_help_flag();
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    app.require_subcommand(0, 1);

    auto common = [&](CLI::App* sub) {
        sub->set_help_flag();
        sub->add_flag("-h,--help", o.help);
        sub->add_option("--workers", o.workers);
        sub->add_option("--library", o.library);
    };
    auto fileCommand = [&](const char* name) {
        CLI::App* sub = app.add_subcommand(name);
        common(sub);
        sub->add_option("paths", o.positional);
        sub->add_option("--threads", o.threads);
        sub->add_option("--max-memory", o.maxMemory);
        sub->add_option("--timeout", o.timeout);
        sub->add_option("--report", o.report);
        sub->add_option("--shard", o.shard);
        sub->add_flag("--quiet", o.quiet);
        return sub;
    };
    // Only the command named first is built, when one is: building every
    // command's options takes a noticeable share of a small file's run.
    const bool named = !args.empty() && (COMMAND_HELP.count(args[0]) || args[0] == "help");
    auto wanted = [&](const char* name) { return !named || args[0] == name; };
    if (wanted("demo")) {
        CLI::App* demo = app.add_subcommand("demo");
        common(demo);
        demo->add_option("--repeat", o.repeat);
        demo->add_option("--threads", o.threads);
        demo->add_option("arguments", o.positional);
    }
    if (wanted("info")) fileCommand("info");
    if (wanted("strip")) {
        CLI::App* strip = fileCommand("strip");
        strip->add_option("--method", o.method);
        strip->add_option("--format", o.format);
        strip->add_flag("--strict", o.strict);
    }
    if (wanted("convert")) {
        CLI::App* convert = fileCommand("convert");
        convert->add_option("--layout", o.layout);
        convert->add_option("--format", o.format);
        convert->add_option("--matrix", o.matrix);
        convert->add_flag("--verify", o.verify);
        convert->add_flag("--strict", o.strict);
    }
    if (wanted("help")) {
        CLI::App* help = app.add_subcommand("help");
        help->set_help_flag();
        help->add_option("command", o.positional);
    }

    std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        throw UsageError(message);
    }
    for (CLI::App* sub : app.get_subcommands()) o.command = sub->get_name();
    return o;
}

int WholeNumber(const std::string& option, const std::string& text, int least, int most) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || used == 0 || value < least || value > most)
        throw UsageError(option + " wants a whole number from " + std::to_string(least) + " to " +
                         std::to_string(most) + ", not '" + text + "'");
    return value;
}

int Cores() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

StripMethod MethodOf(const Options& o) {
    if (o.method == "mark") return StripMethod::Mark;
    if (o.method == "count") return StripMethod::Count;
    if (o.method == "both") return StripMethod::Both;
    throw UsageError("--method is mark, count or both, not '" + o.method + "'");
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// convert's --format: "glb" or "gltf", or empty for raw streams.
std::string ConvertFormat(const Options& o) {
    std::string format = LowerCase(o.format);
    if (!format.empty() && format[0] == '.') format.erase(0, 1);
    if (!format.empty() && format != "glb" && format != "gltf")
        throw UsageError("convert writes --format glb or gltf (or, without --format, raw streams into a folder), not '" +
                         o.format + "'");
    return format;
}

bool HasGltfExtension(const fs::path& path) {
    const std::string extension = LowerCase(path.extension().string());
    return extension == ".glb" || extension == ".gltf";
}

// convert writes glTF when asked with --format or when OUT is a .glb/.gltf
// file; otherwise raw streams and a manifest into a folder.
bool GltfOutput(const Options& o) {
    if (o.command != "convert" || o.positional.empty()) return false;
    std::error_code error;
    return !ConvertFormat(o).empty() ||
           (HasGltfExtension(o.positional.back()) && !fs::is_directory(o.positional.back(), error));
}

// The settings every file of a command is processed with; usage errors here
// surface in the tool before any worker starts.
WorkSettings SettingsOf(const Options& o) {
    WorkSettings s;
    s.strict = o.strict;
    s.verify = o.verify;
    if (o.command == "strip") s.method = MethodOf(o);
    if (o.command == "convert") {
        const bool gltf = GltfOutput(o);
        if (o.layout.empty() && !gltf)
            throw UsageError("convert into a folder needs --layout full, compact, gltf or slot:format entries");
        try {
            s.layout = ParseLayout(o.layout.empty() ? "gltf" : o.layout);
            if (gltf) s.layout = GltfReadyLayout(s.layout);
            if (!o.matrix.empty()) s.matrix = ParseMatrix(o.matrix);
            if (!o.matrix.empty() && s.layout.slots[NORMAL]) NormalMatrixFor(s.matrix);
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    }
    return s;
}

std::string ExporterOrUsageError(const std::string& wanted, const std::string& where) {
    std::string id;
    try {
        id = ExporterFor(wanted);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (id.empty())
        throw UsageError("no exporter writes '" + wanted + "'" + where + "; choose from " + ExporterList());
    if (!TraitsOf(id).readsBack)
        throw UsageError("the '" + id + "' exporter writes files that do not read back, so its output cannot be "
                         "checked; choose another format");
    return id;
}

// Several inputs, a folder, or an OUT ending in a slash write into OUT as a
// folder.
bool FolderOutput(const Options& o, const std::vector<FileTask>& tasks) {
    if (o.positional.size() > 2 || tasks.size() != 1 || tasks[0].fromFolder) return true;
    const std::string& out = o.positional.back();
    if (o.command == "strip" && !out.empty() && out.back() == '/') return true;
    std::error_code error;
    return fs::is_directory(o.positional[0], error);
}

// convert to glTF: one input into OUT.glb or OUT.gltf, or any number into a
// folder with --format, each as <stem>.glb or <stem>.gltf.
void PlanGltfOutputs(const Options& o, std::vector<FileTask>& tasks, bool intoFolder) {
    const fs::path output = o.positional.back();
    std::error_code error;
    const bool intoFile = HasGltfExtension(output) && !fs::is_directory(output, error);
    const std::string format = intoFile && o.format.empty() ? LowerCase(output.extension().string()).substr(1)
                                                            : ConvertFormat(o);
    if (intoFile && intoFolder)
        throw UsageError("several inputs go into a folder: give a folder and --format glb or gltf, not " +
                         output.string());
    if (intoFile && LowerCase(output.extension().string()) != "." + format)
        throw UsageError(output.string() + " is not a ." + format + " file: leave out --format or rename the output");
    AssignOutputs(tasks, [&](const FileTask& task) {
        if (intoFile) return output;
        fs::path relative = task.relative;
        relative.replace_extension("." + format);
        return output / relative;
    });
    for (FileTask& task : tasks) task.exporter = format == "glb" ? "glb2" : "gltf2";
}

// Decides each file's output and exporter, before any work starts.
void PlanOutputs(const Options& o, std::vector<FileTask>& tasks) {
    const fs::path output = o.positional.back();
    const bool intoFolder = FolderOutput(o, tasks);
    if (o.command == "convert" && GltfOutput(o)) {
        PlanGltfOutputs(o, tasks, intoFolder);
        return;
    }
    if (o.command == "convert") {
        AssignOutputs(tasks, [&](const FileTask& task) { return intoFolder ? output / task.relative : output; });
        return;
    }
    std::string exporter;
    if (!o.format.empty()) exporter = ExporterOrUsageError(o.format, "");
    std::error_code error;
    const bool existingFolder = fs::is_directory(output, error);
    if (!intoFolder && exporter.empty()) {
        const fs::path target = existingFolder ? output / tasks[0].relative : output;
        if (target.extension().empty())
            throw UsageError("cannot tell a format from '" + target.string() +
                             "': give it an extension, or choose one with --format");
        exporter = ExporterOrUsageError(target.extension().string(), " files (" + target.string() + ")");
    }
    for (FileTask& task : tasks) {
        task.exporter = exporter;
        if (!task.failure.empty() || !exporter.empty()) continue;
        try {
            task.exporter = ExporterFor(task.relative.extension().string());
            if (task.exporter.empty() || !TraitsOf(task.exporter).readsBack)
                task.failure = "no exporter writes '" + task.relative.extension().string() +
                               "' files that read back; choose a format with --format";
        } catch (const std::exception& e) {  // the scene module's absence too: this file alone fails
            task.failure = e.what();
        }
    }
    AssignOutputs(tasks, [&](const FileTask& task) {
        if (!intoFolder) return existingFolder ? output / task.relative.filename() : output;
        fs::path relative = task.relative;
        if (!o.format.empty()) relative.replace_extension(ExporterExtension(task.exporter));
        return output / relative;
    });
}

nlohmann::json TaskJson(const FileTask& t) {
    return {{"input", t.input}, {"relative", t.relative.string()}, {"output", t.output}, {"exporter", t.exporter}};
}

FileTask TaskFrom(const nlohmann::json& j) {
    FileTask t;
    t.input = j.at("input").get<std::string>();
    t.relative = j.at("relative").get<std::string>();
    t.output = j.at("output").get<std::string>();
    t.exporter = j.at("exporter").get<std::string>();
    return t;
}

// What the workers of one batch read: the command line, the library, and
// every task (each worker protects all the batch's inputs).
class WorkerContext {
public:
    WorkerContext(const std::vector<std::string>& args, const std::string& library, int threads,
                  const std::vector<FileTask>& tasks) {
        nlohmann::json context = {{"args", args}, {"library", library}, {"threads", threads}};
        for (const FileTask& task : tasks) context["tasks"].push_back(TaskJson(task));
        std::string pattern = (fs::temp_directory_path() / "meshjobs-batch-XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd < 0) throw std::runtime_error("cannot create a temporary file in " + fs::temp_directory_path().string());
        close(fd);
        path_ = pattern;
        std::ofstream file(path_);
        file << context.dump();
        file.close();
        if (!file) throw std::runtime_error(SystemMessage("cannot write", path_, errno));
    }
    ~WorkerContext() {
        std::error_code error;
        fs::remove(path_, error);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Whether some file of the batch goes through the importer (all of them for
// info; for strip and convert, those not glTF in and out). A glTF 1.0 file
// named .gltf is found out by its worker, which loads the module itself.
bool NeedsSceneModule(const Options& o, const std::vector<FileTask>& tasks, const std::vector<size_t>& selected) {
    for (size_t i : selected) {
        const FileTask& task = tasks[i];
        if (!task.failure.empty()) continue;
        if (o.command == "info" || !HasGltfExtension(task.input)) return true;
        if (o.command == "convert" ? !GltfOutput(o) : task.exporter != "gltf2" && task.exporter != "glb2") return true;
    }
    return false;
}

// Loaded before the workers fork, so that they share one load. If it cannot
// be, each file that needs it fails with the reason.
void PreloadSceneModule() {
    try {
        SceneModule();
    } catch (const std::exception&) {
    }
}

// What every worker does: its file's outcome, whatever happens on the way,
// sent to the tool.
int ReportWork(const std::function<FileOutcome()>& work) {
    ExitOnFailedAllocation();
    ReportPhase(WorkerPhase::Starting);
    FileOutcome outcome;
    try {
        outcome = work();
    } catch (const host::JobException& e) {
        outcome.ok = false;
        outcome.error = "job failed: " + e.typeName() + ": " + e.message();
    } catch (const std::exception& e) {
        outcome.ok = false;
        outcome.error = e.what();
    }
    ReportOutcome(outcome);
    return 0;
}

FileOutcome WorkOnFile(const Options& o, const FileTask& task, const WorkSettings& settings,
                       const host::Library& library, int threads) {
    InjectTestFault(task.input);
    Jobs jobs(library, threads);
    return o.command == "info"    ? InfoFile(task, jobs, settings)
           : o.command == "strip" ? StripFile(task, jobs, settings)
                                  : ConvertFile(task, jobs, settings);
}

// The settings of a batch's files: its command's, and every input protected.
WorkSettings BatchSettings(const Options& o, const std::vector<FileTask>& tasks) {
    WorkSettings settings = SettingsOf(o);
    for (const FileTask& t : tasks) settings.inputs.push_back(fs::absolute(t.input));
    return settings;
}

// A worker run as a program of its own: the batch comes from its context file.
int RunWorker(const std::string& contextPath, size_t index) {
    return ReportWork([&] {
        std::ifstream in(contextPath);
        const nlohmann::json context = nlohmann::json::parse(in);
        const Options o = Parse(context.at("args").get<std::vector<std::string>>());
        std::vector<FileTask> tasks;
        for (const auto& t : context.at("tasks")) tasks.push_back(TaskFrom(t));
        const host::Library library = LoadLibrary(context.at("library").get<std::string>());
        return WorkOnFile(o, tasks.at(index), BatchSettings(o, tasks), library, context.at("threads").get<int>());
    });
}

std::string WorkerProgram(const CliEnvironment& environment) {
    if (environment.workerProgram.empty()) throw std::runtime_error("no worker program: the tool cannot run files");
    return environment.workerProgram;
}

int RunFiles(const Options& o, const std::vector<std::string>& args, const host::Library& library,
             const std::string& libraryPath, std::ostream& out, std::ostream& err, const CliEnvironment& environment) {
    const bool writes = o.command != "info";
    if (o.positional.size() < (writes ? 2u : 1u))
        throw UsageError(writes ? o.command + " needs an input and an output" : "info needs at least one file or folder");
    SettingsOf(o);  // usage errors now, not once per file
    BatchOptions batch;
    batch.quiet = o.quiet;
    batch.progress = environment.stderrIsTerminal;
    batch.reportPath = o.report;
    try {
        batch.limits.maxMemory = ParseBytes(o.maxMemory);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--max-memory wants ") + e.what());
    }
    batch.limits.timeoutSeconds = WholeNumber("--timeout", o.timeout, 0, 1000000);
    int shardK = 1, shardN = 1;
    if (!o.shard.empty()) {
        const size_t slash = o.shard.find('/');
        if (slash == std::string::npos) throw UsageError("--shard wants K/N, e.g. 2/8, not '" + o.shard + "'");
        shardN = WholeNumber("--shard N", o.shard.substr(slash + 1), 1, 1000000);
        shardK = WholeNumber("--shard K", o.shard.substr(0, slash), 1, shardN);
    }

    const std::vector<std::string> inputs(o.positional.begin(), o.positional.end() - (writes ? 1 : 0));
    std::vector<fs::path> exclude;
    if (writes) exclude.push_back(o.positional.back());
    std::vector<FileTask> tasks = CollectInputs(inputs, exclude);
    if (tasks.empty()) {
        std::string list;
        for (const std::string& p : inputs) list += (list.empty() ? "" : ", ") + p;
        throw std::runtime_error("no mesh files in " + list);
    }
    try {
        if (writes) PlanOutputs(o, tasks);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (!o.report.empty())
        for (const FileTask& task : tasks)
            if (fs::exists(o.report) && fs::exists(task.input) && fs::equivalent(o.report, task.input))
                throw UsageError("refusing to write the report over the input " + task.input);
    const std::vector<size_t> selected = ShardOf(tasks, shardK, shardN);

    const int files = static_cast<int>(std::max<size_t>(1, selected.size()));
    batch.workers = o.workers.empty() ? std::min(Cores(), files) : WholeNumber("--workers", o.workers, 1, 1024);
    const int threads = o.threads.empty() ? std::max(1, Cores() / std::min(batch.workers, files))
                                          : WholeNumber("--threads", o.threads, 1, 1024);
    batch.worker.program = WorkerProgram(environment);
    // A forked worker has the batch, its settings and the loaded library in
    // memory already; a worker program reads them from a context file.
    std::optional<WorkerContext> context;
    const WorkSettings settings = BatchSettings(o, tasks);
    if (environment.forkWorkers) {
        batch.worker.body = [&](const std::vector<std::string>& arguments) {
            const FileTask& task = tasks.at(std::stoul(arguments.back()));
            return ReportWork([&] { return WorkOnFile(o, task, settings, library, threads); });
        };
        batch.workerArguments = {WORKER_COMMAND, "-"};
    } else {
        context.emplace(args, libraryPath, threads, tasks);
        batch.workerArguments = {WORKER_COMMAND, context->path()};
    }
    if (NeedsSceneModule(o, tasks, selected)) PreloadSceneModule();
    const BatchSummary summary = RunBatch(tasks, selected, batch, out, err);
    if (summary.interruptedBy) return 128 + summary.interruptedBy;  // as a shell reports a signal
    return summary.failed ? 1 : 0;
}

int Run(const Options& o, const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment) {
    const std::string libraryPath = o.library.empty() ? host::Library::DefaultPath() : o.library;
    // Loaded here too, so a missing library is one clear line, not one per file.
    host::Library library = [&] {
        try {
            return LoadLibrary(libraryPath);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot load the job library: ") + e.what());
        }
    }();
    if (o.command != "demo") return RunFiles(o, args, library, libraryPath, out, err, environment);

    if (!o.positional.empty()) throw UsageError("demo takes no arguments");
    DemoOptions options;
    const std::string& threads = o.threads.empty() ? o.workers : o.threads;
    options.workers = threads.empty() ? Cores() : WholeNumber("--threads", threads, 1, 1024);
    options.repeat = WholeNumber("--repeat", o.repeat, 1, 1000);
    const DemoReport report = RunDemo(library, options);
    PrintDemo(report, out);
    return report.ok() ? 0 : 1;
}

}  // namespace

const char* CommandHelp(const std::string& command) {
    const auto it = COMMAND_HELP.find(command);
    return it == COMMAND_HELP.end() ? nullptr : it->second;
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment) {
    if (args.size() == 3 && args[0] == WORKER_COMMAND) return RunWorker(args[1], std::stoul(args[2]));
    Options o;
    try {
        o = Parse(args);
    } catch (const UsageError& e) {
        const std::string command = !args.empty() && CommandHelp(args[0]) ? args[0] : "";
        err << "meshjobs" << (command.empty() ? "" : " " + command) << ": " << e.what() << " (see 'meshjobs "
            << (command.empty() ? "" : command + " ") << "--help')\n";
        return 2;
    }
    if (o.version) {
        out << "meshjobs " << MESHJOBS_VERSION << "\n";
        // The library this tool would load, by the version its file carries.
        const std::string path = o.library.empty() ? host::Library::DefaultPath() : o.library;
        try {
            const std::string version = host::LibraryFileVersion(path);
            out << "libmeshjobs " << (version.empty() ? "(no version)" : version) << " " << path << "\n";
        } catch (const host::HostError&) {
            out << "libmeshjobs not found: " << path << "\n";
        }
        return 0;
    }
    if (o.command.empty()) {
        (o.help ? out : err) << GENERAL_HELP;
        return o.help ? 0 : 2;
    }
    if (o.command == "help") {
        if (o.positional.empty()) {
            out << GENERAL_HELP;
            return 0;
        }
        const char* text = CommandHelp(o.positional[0]);
        if (!text) {
            err << "meshjobs: no command '" << o.positional[0] << "' (see 'meshjobs --help')\n";
            return 2;
        }
        out << text;
        return 0;
    }
    if (o.help) {
        out << CommandHelp(o.command);
        return 0;
    }
    try {
        return Run(o, args, out, err, environment);
    } catch (const UsageError& e) {
        err << "meshjobs " << o.command << ": " << e.what() << " (see 'meshjobs " << o.command << " --help')\n";
        return 2;
    } catch (const host::JobException& e) {
        err << "meshjobs " << o.command << ": job failed: " << e.typeName() << ": " << e.message() << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << "meshjobs " << o.command << ": " << e.what() << "\n";
        return 1;
    }
}

}  // namespace meshjobs::tool
