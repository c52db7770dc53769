// Exception type names and message templates passed to the host's abort, byte
// for byte as the engine's managed side knows them. Placeholders stay unfilled.
#pragma once

namespace meshjobs {

inline constexpr char INDEX_OUT_OF_RANGE_EXCEPTION[] = "System.IndexOutOfRangeException";
inline constexpr char ARGUMENT_NULL_EXCEPTION[] = "System.ArgumentNullException";

inline constexpr char LENGTH_MESSAGE[] = "Index {0} is out of range of '{1}' Length.";
// The trailing line feed is part of the message.
inline constexpr char RESTRICTED_RANGE_MESSAGE[] =
    "Index {0} is out of restricted IJobParallelFor range [{1}...{2}] in ReadWriteBuffer.\n";
inline constexpr char CONTAINER_MESSAGE[] = "Index {0} is out of range in container of '{1}' Length.";

inline constexpr char DESTINATION_PARAMETER[] = "destination";
inline constexpr char SOURCE_PARAMETER[] = "source";

}  // namespace meshjobs
