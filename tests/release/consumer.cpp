// Counts vertex references on two worker threads through the installed host.
#include <cstdio>
#include <vector>

#include "meshjobs/host.h"

int main() {
    using namespace meshjobs;
    const host::Library library = host::Library::Load(MESHJOBS_LIBRARY_FILE);
    library.Initialize();
    host::JobSystem jobs(library, 2);
    std::vector<uint16_t> indices{0, 1, 2, 2, 1, 3};
    std::vector<int32_t> counts(5, 0);
    host::SafetyCell cell;
    CountVertexReferencesRecord record{};
    record.referenceCounts = host::MakeView(counts.data(), 5, cell);
    record.indices = host::MakeView(indices.data(), 6, cell);
    jobs.Run(record, 6);
    std::printf("libmeshjobs %s, reference counts:", host::LibraryFileVersion(MESHJOBS_LIBRARY_FILE).c_str());
    for (int32_t count : counts) std::printf(" %d", count);
    std::printf("\n");
}
