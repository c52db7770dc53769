#include "toolkit/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace meshjobs::tool {

std::string SystemMessage(const std::string& what, const fs::path& path, int errorNumber) {
    return what + " " + path.string() + ": " + std::system_category().message(errorNumber);
}

namespace {
constexpr char STAGING_PREFIX[] = ".meshjobs-staging-";
}  // namespace

bool IsStagingFolder(const fs::path& folder) { return folder.filename().string().rfind(STAGING_PREFIX, 0) == 0; }

StagedOutput::StagedOutput(const fs::path& folder) : folder_(folder.empty() ? fs::path(".") : folder) {
    std::error_code error;
    for (fs::path p = fs::absolute(folder_, error).lexically_normal(); !p.empty() && !fs::exists(p, error);
         p = p.parent_path())
        created_ = p;
    fs::create_directories(folder_, error);
    if (error) throw std::runtime_error("cannot create folder " + folder_.string() + ": " + error.message());
    std::string pattern = (folder_ / (std::string(STAGING_PREFIX) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error(SystemMessage("cannot write in", folder_, errno));
    staging_ = pattern;
}

StagedOutput::~StagedOutput() {
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
    if (committed_ || created_.empty()) return;
    // A failed output leaves no trace, not even an empty folder.
    for (fs::path p = fs::absolute(folder_, ignored).lexically_normal(); fs::remove(p, ignored) && p != created_;)
        p = p.parent_path();
}

fs::path StagedOutput::StagedPath(const fs::path& relative) const {
    const fs::path normal = relative.lexically_normal();
    if (relative.empty() || relative.is_absolute() || normal.empty() || *normal.begin() == "..")
        throw std::invalid_argument("output path '" + relative.string() + "' is not inside the output folder");
    return staging_ / normal;
}

void StagedOutput::WriteFile(const fs::path& relative, const void* data, size_t size) {
    WriteFile(relative, {{data, size}});
}

void StagedOutput::WriteFile(const fs::path& relative, std::initializer_list<Piece> pieces) {
    const fs::path path = StagedPath(relative);
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " + error.message());

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error(SystemMessage("cannot write", relative, errno));
    int failure = 0;
    for (const Piece& piece : pieces) {
        const char* at = static_cast<const char*>(piece.data);
        size_t left = piece.size;
        while (left > 0 && !failure) {
            const ssize_t written = ::write(fd, at, left);
            if (written < 0) {
                if (errno != EINTR) failure = errno;
            } else if (written == 0) {
                failure = ENOSPC;  // no progress and no reason: the usual one
            } else {
                at += written;
                left -= static_cast<size_t>(written);
            }
        }
    }
#if defined(__linux__)
    // The disk starts on it now; Commit waits for it, with every other staged
    // file's writing under way at the same time.
    if (!failure) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    // Delayed write errors (NFS, quotas) surface only at close.
    if (::close(fd) != 0 && !failure && errno != EINTR) failure = errno;
    if (failure) throw std::runtime_error(SystemMessage("cannot write", relative, failure));
}

std::vector<fs::path> StagedOutput::Files() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(staging_, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error)) files.push_back(it->path().lexically_relative(staging_));
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

// The files no output may land on, each looked up once: by identity where
// it exists, and by its resolved path for a destination not made yet.
class ProtectedFiles {
public:
    explicit ProtectedFiles(const std::vector<fs::path>& files) {
        for (const fs::path& file : files) {
            struct stat status {};
            if (::stat(file.c_str(), &status) == 0) identities_.insert({status.st_dev, status.st_ino});
            std::error_code error;
            const fs::path resolved = fs::weakly_canonical(fs::absolute(file), error);
            if (!error) paths_.insert(resolved);
        }
    }
    bool Holds(const fs::path& destination) const {
        struct stat status {};
        if (::stat(destination.c_str(), &status) == 0) return identities_.count({status.st_dev, status.st_ino}) > 0;
        std::error_code error;
        const fs::path resolved = fs::weakly_canonical(fs::absolute(destination), error);
        return !error && paths_.count(resolved) > 0;
    }

private:
    std::set<std::pair<dev_t, ino_t>> identities_;
    std::set<fs::path> paths_;
};

// Waits until a staged file is on the disk; an error here is the file's.
void SyncFile(const fs::path& path, const fs::path& relative) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(SystemMessage("cannot write", relative, errno));
    // A file system that cannot sync this kind of file (EINVAL) still has it.
    const int failure = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    if (failure) throw std::runtime_error(SystemMessage("cannot write", relative, failure));
}

}  // namespace

std::vector<fs::path> StagedOutput::Commit(const std::vector<fs::path>& protectedFiles, const fs::path& last) {
    std::vector<fs::path> order = Files();
    const fs::path lastNormal = last.lexically_normal();
    if (!last.empty()) {
        const auto at = std::find(order.begin(), order.end(), lastNormal);
        if (at != order.end()) std::rotate(at, at + 1, order.end());
    }
    // Every check before the first move, so a refusal moves nothing.
    const ProtectedFiles kept(protectedFiles);
    for (const fs::path& relative : order) {
        const fs::path destination = folder_ / relative;
        if (kept.Holds(destination))
            throw std::runtime_error("refusing to overwrite the input's file " + relative.string());
        std::error_code error;
        if (fs::is_directory(destination, error))
            throw std::runtime_error(SystemMessage("cannot write", destination, EISDIR));
    }
    // Every file whole on the disk before any lands: a crash leaves either
    // the old file or the new one, never a new name over a hole. The folders
    // are not synced after the renames: a crash before the system writes them
    // back may undo a rename, which leaves the old output (or none) and never
    // a part of the new one, and syncing them costs a second wait on the disk,
    // a good part of a small file's run.
    for (const fs::path& relative : order) SyncFile(staging_ / relative, relative);
    committed_ = true;  // from here on, some files may be in place
    std::vector<fs::path> written;
    for (const fs::path& relative : order) {
        const fs::path destination = folder_ / relative;
        std::error_code error;
        fs::create_directories(destination.parent_path(), error);
        if (error)
            throw std::runtime_error("cannot create folder " + destination.parent_path().string() + ": " +
                                     error.message());
        if (::rename((staging_ / relative).c_str(), destination.c_str()) != 0)
            throw std::runtime_error(SystemMessage("cannot write", destination, errno));
        written.push_back(destination);
    }
    return written;
}

}  // namespace meshjobs::tool
