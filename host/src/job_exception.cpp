#include <string>
#include <utility>

#include "meshjobs/host.h"

namespace meshjobs::host {

namespace {
std::string Describe(const std::string& typeName, const std::string& message, int worker) {
    std::string text = typeName + ": " + message;
    if (worker >= 0) text += " (worker " + std::to_string(worker) + ")";
    return text;
}
}  // namespace

JobException::JobException(std::string typeName, std::string message, int worker)
    : std::runtime_error(Describe(typeName, message, worker)),
      typeName_(std::move(typeName)),
      message_(std::move(message)),
      worker_(worker) {}

}  // namespace meshjobs::host
