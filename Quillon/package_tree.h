// Which files make up a signed package, found by walking its trees.
//
// The manifest (package_manifest.h) covers every regular file of
//  - the package directory FWPATH, with everything below it;
//  - the argument file's directory, with everything below it (in local
//    mode that is the working directory), except what runs write there
//    themselves: the run log, the status file and its temporary, the
//    command group record, the command output file and its rotated copy,
//    pxtool reset's copy of the argument file, the manifest and its
//    signature, and -- where the run stages, beside an argument file
//    whose directory is not FWPATH itself -- the staged copies, which a
//    run that ends above 1 keeps (files named as a package file the run
//    lists from FWPATH). package_tree.cc keeps that list, in one place.
// Each file is listed once: a directory met again by another way (the
// trees overlap, FWPATH inside the argument file's directory say) is not
// walked again. The argument file has its own line (package_manifest.h).
//
// Names: a file of the argument file's tree by its path from that
// directory ("lib/helper.sh"); any other file of the FWPATH tree by the
// lexical path from there to FWPATH and on to it ("../files/lib/helper.sh";
// absolute for an absolute FWPATH).
//
// Links: a signed package holds no symbolic link, FIFO, socket or device
// anywhere in these trees; one is refused by signing and verifying alike,
// wherever its target lies. Only the two roots, as given, may be reached
// through links. Directories are read without following links, and
// nothing is written.

#ifndef QUILLON_PACKAGE_TREE_H_
#define QUILLON_PACKAGE_TREE_H_

#include <string>
#include <vector>

#include "package_manifest.h"

// A package as a run finds it.
struct PackageSource {
  std::string argFile;  // relative to the working directory, or absolute
  bool hasFwPath = false;
  std::string fwPath;               // FWPATH as the run read it
  std::vector<std::string> names;   // the package files the run lists there
  // The run stages the package files beside the argument file (a classic
  // run), so their copies kept there are the run's own.
  bool staging = true;
  // The working directory as a path from the current directory; empty:
  // the current directory. Paths in the layout are prefixed with it.
  std::string base;
};

// Walks the package of `source` into `layout`. False with `file` (a
// manifest name, or the argument file) and `why` when a file cannot be
// listed: a name that cannot be written, a link or other special file, a
// tree too large or too deep, a directory that cannot be read, an argument
// file path with ".." or an absolute one with a relative FWPATH outside
// the argument file's directory.
bool DescribePackage(const PackageSource& source, PackageLayout* layout,
                     std::string* file, std::string* why);

#endif  // QUILLON_PACKAGE_TREE_H_
