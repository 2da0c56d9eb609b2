// The package model: the argument file's grammar as values.
//
// A run and every tool that reads a package (pxtool check, plan, status,
// report, manifest) read the argument file through these functions, so that
// the tools can never disagree with what a run does. Nothing here writes,
// logs, prints or touches a process global: each function takes the text
// and the settings it needs and returns what it found. The run (arg_file.cc,
// command_runner.cc, flags.cc, run.cc) turns the results into its messages
// and its globals; the tools turn them into diagnostics and plans.
//
// The text is the argument file as the run reads it: it ends at its first
// zero byte or at `end`, whichever comes first (see TextEnd). Positions are
// pointers into the caller's text.

#ifndef QUILLON_PACKAGE_MODEL_H_
#define QUILLON_PACKAGE_MODEL_H_

#include "arg_grammar.h"
#include "cmdline_options.h"
#include "command_text.h"
#include "judge.h"
#include "keywords.h"
#include "pending_line.h"
#include "stage_paths.h"

#endif  // QUILLON_PACKAGE_MODEL_H_
