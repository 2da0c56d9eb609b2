// Asking for a password on the terminal, as minisign does: the prompt is
// written to the controlling terminal (/dev/tty) and the answer read from
// it with echo off, so that neither the prompt nor the password goes
// through standard output or error.
//
// The terminal's settings are restored before the function returns, and
// also when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the process meanwhile
// (a handler restores them and raises the signal again; a signal that was
// ignored stays ignored). Ctrl-Z (SIGTSTP) stops the process with the
// settings restored; when it goes on, echo is turned off again and the
// prompt shown anew. A stop by SIGSTOP, or by SIGTTIN or SIGTTOU (a
// prompt sent to the background), leaves echo off until it goes on.

#ifndef TOOLS_PXTOOL_PASSWORD_PROMPT_H_
#define TOOLS_PXTOOL_PASSWORD_PROMPT_H_

#include <string>

namespace pxtool {

enum class PromptResult {
  kRead,        // `password` holds the line typed, without its line feed
  kNoTerminal,  // standard input is no terminal, or there is no /dev/tty
  kFailed,      // the terminal failed; `why` says how
};

// Writes `prompt` to the terminal and reads one line (at most 4095 bytes,
// the rest of a longer line is dropped) without echo. Asks only when
// standard input is a terminal, so that a program run by a script with its
// input redirected never waits for an answer.
PromptResult ReadPasswordFromTerminal(const char* prompt, std::string* password,
                                      std::string* why);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PASSWORD_PROMPT_H_
