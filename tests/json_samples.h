// pxtool's JSON as the tests read it. Every document a test gets from pxtool
// goes through ParsePxtoolJson, which keeps a copy as
// $QUILLON_JSON_SAMPLES_DIR/<schema>-<n>.json when the variable is set (ctest
// sets it, CMakeLists.txt); the ctest test json_schemas
// (tests/validate_json.py) then checks every copy against
// docs/schemas/<schema>.schema.json.

#ifndef TESTS_JSON_SAMPLES_H_
#define TESTS_JSON_SAMPLES_H_

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

namespace quillon_test {

// Keeps `text` under the first free number (tests in other processes take
// others). A document without a schema name of plain words is kept as
// "unknown", which fails the check; a text that is not JSON is not kept
// (the test's own expectations fail on it).
inline void KeepJsonSample(const std::string& text) {
  const char* dir = getenv("QUILLON_JSON_SAMPLES_DIR");
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (dir == nullptr || *dir == '\0' || doc.is_discarded()) return;
  std::string schema =
      doc.is_object() && doc["schema"].is_string() ? doc["schema"].get<std::string>() : "";
  if (schema.empty() || schema.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789._") !=
                            std::string::npos)
    schema = "unknown";
  mkdir(dir, 0755);  // when a test runs outside ctest's fixture
  for (unsigned n = 1;; ++n) {
    const std::string path = std::string(dir) + "/" + schema + "-" + std::to_string(n) + ".json";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "cannot keep the JSON sample " << path << ": " << strerror(errno);
    if (fd >= 0) close(fd);
    return;
  }
}

// The document pxtool wrote (discarded when it is not JSON), kept as above.
template <class Json = nlohmann::json>
Json ParsePxtoolJson(const std::string& text) {
  KeepJsonSample(text);
  return Json::parse(text, nullptr, false);
}

}  // namespace quillon_test

#endif  // TESTS_JSON_SAMPLES_H_
