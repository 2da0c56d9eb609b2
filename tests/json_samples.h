// pxtool's JSON documents as the tests read them. Every document a test
// gets from pxtool goes through ParsePxtoolJson, which parses it and, when
// QUILLON_JSON_SAMPLES_DIR is set (ctest sets it for the unit tests, see
// CMakeLists.txt), keeps a copy there as "<schema>-<n>.json". The ctest
// test json_schemas (tests/validate_json.py) then checks every copy against
// docs/schemas/<schema>.schema.json, so the schemas are held against what
// pxtool writes in every case the tests make.

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

// The name of a document's schema, made safe as part of a file name;
// "unknown" when it has none (the check then fails on it); empty when the
// text is not JSON (the test's own expectations fail on that).
inline std::string SampleSchemaName(const std::string& text) {
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return std::string();
  if (!doc.is_object() || !doc.contains("schema") || !doc["schema"].is_string()) return "unknown";
  std::string name = doc["schema"];
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_'))
      return "unknown";
  return name.empty() ? "unknown" : name;
}

// Keeps `text` in QUILLON_JSON_SAMPLES_DIR under the first free number;
// tests running at once in other processes take other numbers.
inline void KeepJsonSample(const std::string& text) {
  const char* dir = getenv("QUILLON_JSON_SAMPLES_DIR");
  if (dir == nullptr || *dir == '\0') return;
  const std::string schema = SampleSchemaName(text);
  if (schema.empty()) return;
  mkdir(dir, 0755);  // made before the tests; here for a test run alone
  const std::string stem = std::string(dir) + "/" + schema + "-";
  for (unsigned n = 1;; ++n) {
    const std::string path = stem + std::to_string(n) + ".json";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "cannot keep the JSON sample " << path << ": " << strerror(errno);
    if (fd >= 0) close(fd);
    return;
  }
}

// The document pxtool wrote (discarded when it is not JSON), kept as a
// sample.
template <class Json = nlohmann::json>
Json ParsePxtoolJson(const std::string& text) {
  KeepJsonSample(text);
  return Json::parse(text, nullptr, false);
}

}  // namespace quillon_test

#endif  // TESTS_JSON_SAMPLES_H_
