// Running the built meshjobs program as a user would, in a scratch folder of
// the test's own, and seeing what it did to the files around it.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace meshjobs::testing {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

inline std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every file under a folder with its bytes: equal snapshots mean nothing was
// written, renamed or removed there.
inline std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files[fs::relative(entry.path(), folder).string()] = entry.is_regular_file() ? Slurp(entry.path()) : "(folder)";
    return files;
}

struct RunOptions {
    fs::path program = MESHJOBS_TOOL_FILE;   // default: the built tool
    fs::path cwd;                            // default: the test's folder
    std::vector<std::string> environment;    // NAME=VALUE added
    std::string user;                        // run as this user (needs root)
    int interruptAfterMs = 0;                // then send it SIGINT, as Ctrl-C would
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("meshjobs_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::permissions(dir_, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir_, error);
    }

    // The program with `args` and the built library, its output captured.
    ToolRun Tool(std::vector<std::string> args, const RunOptions& options = {}) {
        args.insert(args.begin(), options.program.string());
        args.push_back("--library");
        args.push_back(MESHJOBS_LIBRARY_FILE);
        if (!options.user.empty()) args.insert(args.begin(), {"runuser", "-u", options.user, "--"});
        const fs::path out = dir_ / ".out", err = dir_ / ".err";
        // Everything is made before fork(): the child only redirects and execs.
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> variables = options.environment;
        for (char** v = environ; *v; ++v) variables.push_back(*v);
        for (std::string& v : variables) envp.push_back(v.data());
        envp.push_back(nullptr);
        const fs::path cwd = options.cwd.empty() ? dir_ : options.cwd;
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1), dup2(e, 2);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        int raw = 0;
        if (options.interruptAfterMs > 0) {
            usleep(static_cast<useconds_t>(options.interruptAfterMs) * 1000);
            kill(pid, SIGINT);
        }
        waitpid(pid, &raw, 0);
        ToolRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.out = Slurp(out);
        run.err = Slurp(err);
        fs::remove(out), fs::remove(err);
        return run;
    }

    // Five vertices, one triangle over 0, 2 and 4.
    fs::path WritePly(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\n"
                               "property float z\nproperty float nx\nproperty float ny\nproperty float nz\n"
                               "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                               "0 0 0 0 0 1\n9 9 9 0 1 0\n1 0 0 0 0 1\n8 8 8 1 0 0\n0 1 0 0 0 1\n3 0 2 4\n";
        return path;
    }

    fs::path dir_;
};

// What `action` threw, or "(no error)".
inline std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

// The line of `err` about `file`, or "" if there is none.
inline std::string LineAbout(const std::string& err, const std::string& file) {
    for (const std::string& line : Lines(err))
        if (line.find(file) != std::string::npos) return line;
    return {};
}

}  // namespace meshjobs::testing
