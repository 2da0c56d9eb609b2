#include "command_text.h"

#include <cstdio>
#include <cstring>

namespace {

// Replaces the first `placeholder` in `text` with `value`, or removes it
// when the value was not given.
void Substitute(std::string* text, const char* placeholder, bool given,
                const std::string& value) {
  size_t at = text->find(placeholder);
  if (at == std::string::npos) return;
  text->replace(at, strlen(placeholder), given ? value : std::string());
}

}  // namespace

CommandText ReadCommandText(const char* line, size_t size,
                            const ExternalValues& values) {
  CommandText command;
  const char* text = line + kCommandOffset;
  command.raw.assign(text, strnlen(text, size - kCommandOffset));
  // The mode prefix: five or six characters compared, one more removed.
  command.forcePrefix = command.raw.compare(0, 5, "force") == 0;
  command.updatePrefix =
      !command.forcePrefix && command.raw.compare(0, 6, "update") == 0;
  size_t skip = command.forcePrefix ? 6 : command.updatePrefix ? 7 : 0;
  command.toRun = skip < command.raw.size() ? command.raw.substr(skip)
                                            : std::string();
  Substitute(&command.toRun, kPlaceholders[0], values.option,
             values.optionValue);
  Substitute(&command.toRun, kPlaceholders[1], values.reset,
             values.resetValue);
  Substitute(&command.toRun, kPlaceholders[2], values.parameter,
             values.parameterValue);
  return command;
}

std::string MaskPassword(const std::string& command) {
  std::string masked(command);
  size_t at = masked.find("-pwd ");
  if (at == std::string::npos) return masked;
  for (size_t i = at + 5; i < masked.size() && masked[i] != ' '; ++i)
    masked[i] = '*';
  return masked;
}

std::string ResultField(unsigned int rc) {
  char digits[20];
  snprintf(digits, sizeof(digits), "%-d", static_cast<int>(rc));
  if (strlen(digits) < 3) {
    snprintf(digits, sizeof(digits), "%03d", static_cast<int>(rc));
    return digits;
  }
  return std::string(digits, 3);
}
