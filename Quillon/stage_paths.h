// The paths staging gives a package file, and the limits on them. Part of
// the package model: the run stages by them, pxtool plans and checks by
// them.

#ifndef QUILLON_STAGE_PATHS_H_
#define QUILLON_STAGE_PATHS_H_

#include <cstddef>
#include <string>

// Longest "<directory>/<name>" path of a staged file, source or copy.
const size_t kMaxStagePath = 511;

// A package file's source in the package directory and its copy in the
// execution directory: "<directory>/<name>", whatever the directory ends
// with.
struct StagePaths {
  std::string source, copy;
  // The longer of the two when it is longer than kMaxStagePath (the run
  // then stages nothing at all), or null.
  const std::string* TooLong() const;
};
StagePaths StagePathsOf(const std::string& packageDir,
                        const std::string& executionDir,
                        const std::string& name);

// Whether a staged copy of this path gets mode 0700: its last "." starts
// ".exe" (the directory part counts too; "tool.exec" does, "x.EXE" not).
bool IsExecutableName(const std::string& path);

#endif  // QUILLON_STAGE_PATHS_H_
