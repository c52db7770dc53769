// Outputs written so that a failure leaves no partial file and never replaces
// an earlier good one: each file is written whole into a hidden staging folder
// beside its destination, flushed to disk, then renamed into place.
#pragma once

#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace meshjobs::tool {

// "cannot write /x/y: No space left on device": what failed, where, and the
// system's reason for errorNumber.
std::string SystemMessage(const std::string& what, const std::filesystem::path& path, int errorNumber);

// Whether a folder is one a StagedOutput made (a walk of inputs leaves them
// out, and the tool removes those a dead worker left).
bool IsStagingFolder(const std::filesystem::path& folder);

class StagedOutput {
public:
    // Creates `folder` (and its parents) if missing, and a private staging
    // folder ".meshjobs-staging-XXXXXX" inside it. Throws std::runtime_error
    // with the system's reason.
    explicit StagedOutput(const std::filesystem::path& folder);
    // Removes the staging folder and whatever is still in it, and, if nothing
    // was committed, the folders it made that are still empty.
    ~StagedOutput();
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& staging() const { return staging_; }

    // Where the file that will land at folder()/relative is staged. Throws
    // std::invalid_argument for a path that is absolute or climbs out.
    std::filesystem::path StagedPath(const std::filesystem::path& relative) const;

    // Writes a whole staged file: every write checked, close checked; Commit
    // syncs it. Throws std::runtime_error with the system's reason.
    void WriteFile(const std::filesystem::path& relative, const void* data, size_t size);
    // The same, for a file written as consecutive pieces.
    struct Piece {
        const void* data;
        size_t size;
    };
    void WriteFile(const std::filesystem::path& relative, std::initializer_list<Piece> pieces);

    // Every regular file now staged, as paths relative to staging(), sorted.
    std::vector<std::filesystem::path> Files() const;

    // Syncs every staged file, then moves each into place, `last` (if
    // staged) after all the others, and returns the destinations in the order written. Refuses,
    // moving nothing, when a destination is one of `protectedFiles` (the same
    // file under any spelling or link) or is a directory. Throws
    // std::runtime_error naming the file.
    std::vector<std::filesystem::path> Commit(const std::vector<std::filesystem::path>& protectedFiles,
                                              const std::filesystem::path& last = {});

private:
    std::filesystem::path folder_;
    std::filesystem::path staging_;
    std::filesystem::path created_;  // the outermost folder made for it; empty if none
    bool committed_ = false;
};

}  // namespace meshjobs::tool
