#include "toolkit/batch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "toolkit/scene.h"

namespace meshjobs::tool {

std::vector<FileTask> CollectInputs(const std::vector<std::string>& paths) {
    namespace fs = std::filesystem;
    std::vector<FileTask> tasks;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            tasks.push_back({path, fs::path(path).filename(), false});
            continue;
        }
        // Outputs keep the folder's own name, as a recursive copy would.
        fs::path folder = fs::path(path).lexically_normal();
        if (!folder.has_filename()) folder = folder.parent_path();
        const fs::path name = folder.filename() == "." || folder.filename() == ".." ? fs::path() : folder.filename();
        std::vector<FileTask> found;
        for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it->is_regular_file(error) && IsMeshFile(it->path().string()))
                found.push_back({it->path().string(), name / fs::relative(it->path(), path, error), true});
        }
        std::sort(found.begin(), found.end(), [](const FileTask& a, const FileTask& b) { return a.input < b.input; });
        tasks.insert(tasks.end(), found.begin(), found.end());
    }
    // Two inputs of one name must not write over each other.
    std::set<fs::path> taken;
    for (FileTask& task : tasks) {
        const fs::path original = task.relative;
        for (int k = 2; !taken.insert(task.relative).second; ++k) {
            task.relative = original;
            task.relative.replace_filename(original.stem().string() + "~" + std::to_string(k) +
                                          original.extension().string());
        }
    }
    return tasks;
}

namespace {

class ProgressBar {
public:
    ProgressBar(std::ostream& err, bool enabled, size_t total) : err_(err), enabled_(enabled), total_(total) {}

    void Finished(const std::string& name) {
        if (!enabled_) return;
        std::lock_guard lock(mutex_);
        ++done_;
        const size_t width = 30, filled = total_ ? done_ * width / total_ : width;
        std::string shown = name.size() > 40 ? "..." + name.substr(name.size() - 37) : name;
        err_ << "\r\033[K[" << std::string(filled, '#') << std::string(width - filled, '.') << "] " << done_ << "/"
             << total_ << " " << shown << std::flush;
    }

    void Clear() {
        if (enabled_) err_ << "\r\033[K" << std::flush;
    }

private:
    std::ostream& err_;
    bool enabled_;
    size_t total_;
    size_t done_ = 0;
    std::mutex mutex_;
};

}  // namespace

BatchSummary RunBatch(const host::Library& library, const std::vector<FileTask>& tasks, const FileWork& work,
                      const BatchOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<FileOutcome> outcomes(tasks.size());
    const int workers = std::max(1, options.workers);
    const int inFlight = std::max(1, std::min<int>(workers, static_cast<int>(tasks.size())));
    ProgressBar bar(err, options.progress && tasks.size() > 1, tasks.size());
    std::atomic<size_t> next{0};

    auto drain = [&] {
        std::unique_ptr<Jobs> jobs;
        std::string setupError;
        try {
            jobs = std::make_unique<Jobs>(library, workers / inFlight);
        } catch (const std::exception& e) {
            setupError = e.what();
        }
        for (size_t i; (i = next++) < tasks.size();) {
            FileOutcome& outcome = outcomes[i];
            try {
                if (!jobs) throw std::runtime_error("cannot start the job system: " + setupError);
                outcome = work(tasks[i], *jobs);
            } catch (const host::JobException& e) {
                outcome = {false, {}, "job failed: " + e.typeName() + ": " + e.message()};
            } catch (const std::exception& e) {
                outcome = {false, {}, e.what()};
            }
            bar.Finished(tasks[i].input);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < inFlight; ++t) threads.emplace_back(drain);
    drain();
    for (std::thread& thread : threads) thread.join();
    bar.Clear();

    BatchSummary summary;
    for (size_t i = 0; i < tasks.size(); ++i) {
        out << outcomes[i].report;
        if (outcomes[i].ok) {
            ++summary.done;
        } else {
            ++summary.failed;
            std::string reason = outcomes[i].error;
            std::replace(reason.begin(), reason.end(), '\n', ' ');
            err << "meshjobs: " << tasks[i].input << ": " << reason << "\n";
        }
    }
    out << std::flush;
    err << std::flush;
    return summary;
}

}  // namespace meshjobs::tool
