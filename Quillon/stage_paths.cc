#include "stage_paths.h"

const std::string* StagePaths::TooLong() const {
  const std::string& longer = source.size() > copy.size() ? source : copy;
  return longer.size() > kMaxStagePath ? &longer : nullptr;
}

StagePaths StagePathsOf(const std::string& packageDir,
                        const std::string& executionDir,
                        const std::string& name) {
  return StagePaths{packageDir + "/" + name, executionDir + "/" + name};
}

bool IsExecutableName(const std::string& path) {
  size_t dot = path.rfind('.');
  return dot != std::string::npos && path.compare(dot, 4, ".exe") == 0;
}
