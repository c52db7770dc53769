#include "toolkit/batch.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "toolkit/output_files.h"
#include "toolkit/scene.h"
#include "toolkit/worker_channel.h"

namespace meshjobs::tool {

namespace fs = std::filesystem;

namespace {

FileTask Task(const fs::path& input, const fs::path& relative, bool fromFolder) {
    FileTask task;
    task.input = input.string();
    task.relative = relative;
    task.fromFolder = fromFolder;
    return task;
}

bool Excluded(const fs::path& path, const std::vector<fs::path>& exclude) {
    std::error_code error;
    for (const fs::path& e : exclude)
        if (fs::exists(e, error) && fs::equivalent(path, e, error)) return true;
    return IsStagingFolder(path);
}

// Walks one folder argument depth first in sorted order, so tasks and their
// names do not depend on the order the file system lists them in.
void Walk(const fs::path& folder, const fs::path& root, const fs::path& name, const std::vector<fs::path>& exclude,
          std::vector<FileTask>& tasks) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
        const std::string reason = error.message();
        FileTask failed = Task(folder, name / fs::relative(folder, root, error), true);
        failed.failure = "cannot read the folder: " + reason;
        tasks.push_back(failed);
        return;
    }
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) break;
        entries.push_back(*it);
    }
    if (error) {
        FileTask failed = Task(folder, name / fs::relative(folder, root), true);
        failed.failure = "cannot read the folder: " + error.message();
        tasks.push_back(failed);
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const fs::directory_entry& entry : entries) {
        std::error_code kindError;
        if (entry.is_directory(kindError)) {
            if (!Excluded(entry.path(), exclude)) Walk(entry.path(), root, name, exclude, tasks);
        } else if (IsMeshFile(entry.path().string())) {
            tasks.push_back(Task(entry.path(), name / fs::relative(entry.path(), root, kindError), true));
        }
    }
}

bool SamePath(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
    return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
}

std::string Tag(const FileTask& task) {
    std::string extension = fs::path(task.input).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    return extension;
}

}  // namespace

std::vector<FileTask> CollectInputs(const std::vector<std::string>& paths, const std::vector<fs::path>& exclude) {
    std::vector<FileTask> tasks;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            tasks.push_back(Task(path, fs::path(path).filename(), false));
            continue;
        }
        // Outputs keep the folder's own name, as a recursive copy would.
        fs::path folder = fs::path(path).lexically_normal();
        if (!folder.has_filename()) folder = folder.parent_path();
        const fs::path name = folder.filename() == "." || folder.filename() == ".." ? fs::path() : folder.filename();
        Walk(path, path, name, exclude, tasks);
    }
    return tasks;
}

void AssignOutputs(std::vector<FileTask>& tasks, const std::function<fs::path(const FileTask&)>& candidate) {
    std::map<fs::path, std::vector<size_t>> byName;
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (!tasks[i].failure.empty()) continue;
        tasks[i].output = candidate(tasks[i]).string();
        byName[tasks[i].output].push_back(i);
    }
    std::set<fs::path> taken;
    for (const auto& [name, group] : byName)
        if (group.size() == 1) taken.insert(name);
    for (const auto& [name, group] : byName) {
        if (group.size() == 1) continue;
        std::string others;
        for (size_t i : group) others += (others.empty() ? "" : ", ") + tasks[i].input;
        for (size_t i : group) {
            FileTask& task = tasks[i];
            const fs::path original = name;
            const std::string tag = Tag(task);
            fs::path renamed = original;
            renamed.replace_filename(original.stem().string() + (tag.empty() ? "" : "-" + tag) +
                                     original.extension().string());
            for (int k = 2; !taken.insert(renamed).second; ++k)
                renamed.replace_filename(original.stem().string() + (tag.empty() ? "" : "-" + tag) + "~" +
                                         std::to_string(k) + original.extension().string());
            task.output = renamed.string();
            task.note = others + " would all be written to " + original.string() + "; this one is " +
                        renamed.filename().string();
        }
    }
    for (const FileTask& task : tasks) {
        if (task.output.empty()) continue;
        for (const FileTask& input : tasks)
            if (SamePath(task.output, input.input))
                throw std::invalid_argument("refusing to write " + task.output + ": it is an input file");
    }
}

uint64_t StableHash(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a, the same on every machine
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::vector<size_t> ShardOf(const std::vector<FileTask>& tasks, int k, int n) {
    std::vector<size_t> selected;
    for (size_t i = 0; i < tasks.size(); ++i)
        if (StableHash(tasks[i].relative.generic_string()) % static_cast<uint64_t>(n) == static_cast<uint64_t>(k - 1))
            selected.push_back(i);
    return selected;
}

nlohmann::ordered_json ReportLine(const FileTask& task, const FileOutcome& o) {
    using Json = nlohmann::ordered_json;
    auto side = [](const MeshCounts& c, int64_t bytes) {
        return Json{{"meshes", c.meshes}, {"vertices", c.vertices}, {"triangles", c.triangles}, {"bytes", bytes}};
    };
    Json line = {{"input", task.input},
                 {"output", o.output.empty() ? Json() : Json(o.output)},
                 {"status", o.ok ? "done" : "failed"},
                 {"error", o.ok ? Json() : Json(o.error)},
                 {"warnings", o.warnings},
                 {"before", o.ok ? side(o.before, o.bytesBefore) : Json()},
                 {"after", o.ok ? side(o.after, o.bytesAfter) : Json()},
                 {"verifyErrors", o.verifyErrors}};
    if (!task.note.empty()) line["note"] = task.note;
    return line;
}

namespace {

class Printer {
public:
    Printer(std::ostream& out, std::ostream& err, const BatchOptions& options, size_t total)
        : out_(out), err_(err), options_(options), total_(total) {}

    void Finished(const FileTask& task, const FileOutcome& outcome) {
        ClearBar();
        if (!options_.quiet) out_ << outcome.report << std::flush;
        for (const std::string& warning : outcome.warnings)
            err_ << "meshjobs: " << task.input << ": warning: " << warning << "\n";
        if (!outcome.ok) {
            std::string reason = outcome.error;
            std::replace(reason.begin(), reason.end(), '\n', ' ');
            err_ << "meshjobs: " << task.input << ": " << reason << "\n";
        }
        err_ << std::flush;
        ++done_;
        last_ = task.input;
        DrawBar();
    }

    void ClearBar() {
        if (Bar()) err_ << "\r\033[K" << std::flush;
    }

private:
    bool Bar() const { return options_.progress && !options_.quiet && total_ > 1; }

    void DrawBar() {
        if (!Bar() || done_ == total_) return;
        const size_t width = 30, filled = done_ * width / total_;
        const std::string shown = last_.size() > 40 ? "..." + last_.substr(last_.size() - 37) : last_;
        err_ << "[" << std::string(filled, '#') << std::string(width - filled, '.') << "] " << done_ << "/" << total_
             << " " << shown << std::flush;
    }

    std::ostream& out_;
    std::ostream& err_;
    const BatchOptions& options_;
    size_t total_;
    size_t done_ = 0;
    std::string last_;
};

void PrintSummary(const std::vector<FileTask>& tasks, const std::vector<size_t>& selected,
                  const BatchSummary& summary, std::ostream& out) {
    out << "summary, in input order:\n";
    for (size_t i : selected) {
        const FileOutcome& o = summary.outcomes[i];
        out << (o.ok ? "  done    " : "  FAILED  ") << tasks[i].input;
        if (o.ok && !o.output.empty()) out << " -> " << o.output;
        if (!o.ok) out << ": " << o.error;
        if (o.ok && !o.warnings.empty())
            out << " (" << o.warnings.size() << (o.warnings.size() == 1 ? " warning)" : " warnings)");
        if (!tasks[i].note.empty()) out << "\n          note: " << tasks[i].note;
        out << "\n";
    }
}

void WriteReport(const std::vector<FileTask>& tasks, const std::vector<size_t>& selected,
                 const BatchSummary& summary, const std::string& path) {
    std::string text;
    for (size_t i : selected) text += ReportLine(tasks[i], summary.outcomes[i]).dump() + "\n";
    std::vector<fs::path> inputs;
    for (const FileTask& task : tasks) inputs.push_back(task.input);
    const fs::path target = fs::absolute(path);
    StagedOutput staged(target.parent_path());
    staged.WriteFile(target.filename(), text.data(), text.size());
    staged.Commit(inputs);
}

}  // namespace

BatchSummary RunBatch(const std::vector<FileTask>& tasks, const std::vector<size_t>& selected,
                      const BatchOptions& options, std::ostream& out, std::ostream& err) {
    BatchSummary summary;
    summary.outcomes.resize(tasks.size());
    Printer printer(out, err, options, selected.size());
    auto finish = [&](size_t task, const FileOutcome& outcome) {
        summary.outcomes[task] = outcome;
        ++(outcome.ok ? summary.done : summary.failed);
        printer.Finished(tasks[task], outcome);
    };

    std::vector<size_t> work;
    for (size_t i : selected) {
        if (tasks[i].failure.empty()) {
            work.push_back(i);
            continue;
        }
        finish(i, Failed(tasks[i].failure));
    }
    std::vector<bool> ended(tasks.size(), false);
    for (size_t i : selected) ended[i] = !tasks[i].failure.empty();
    summary.interruptedBy = RunWorkers(
        options.worker, work.size(),
        [&](size_t k) {
            std::vector<std::string> arguments = options.workerArguments;
            arguments.push_back(std::to_string(work[k]));
            return arguments;
        },
        options.workers, options.limits,
        [&](size_t k, const WorkerEnding& ending) {
            RemoveLeftovers(ending);
            ended[work[k]] = true;
            finish(work[k], OutcomeOf(ending, options.limits));
        });
    for (size_t i : work)
        if (!ended[i]) finish(i, Failed("not processed: interrupted"));
    printer.ClearBar();

    if (selected.size() > 1 && !options.quiet) PrintSummary(tasks, selected, summary, out);
    if (!options.reportPath.empty()) WriteReport(tasks, selected, summary, options.reportPath);
    if (selected.size() > 1)
        out << selected.size() << " files: " << summary.done << " done, " << summary.failed << " failed\n";
    out << std::flush;
    return summary;
}

}  // namespace meshjobs::tool
