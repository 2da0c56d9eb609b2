// pxtool's package-signature subcommands (see package_manifest.h and
// minisign.h for the formats):
//
//   pxtool manifest PACKAGE_DIR [ARGUMENT_FILE]
//   pxtool sign --key SECRET_KEY [--password-file FILE] PACKAGE_DIR [ARGUMENT_FILE]
//   pxtool verify --key PUBLIC_KEY [--key PUBLIC_KEY]... PACKAGE_DIR [ARGUMENT_FILE]
//
// PACKAGE_DIR is what Quillon takes as its working directory (argument 1),
// ARGUMENT_FILE is relative to it as Quillon's argument 2 (default
// "px.arg"). Each function takes the arguments after the subcommand's name
// and returns the exit status: 0 success, 1 failure (a message on standard
// error names the file), 2 usage error. The manifest and the signature are
// written as new files beside the argument file and renamed into place, so
// either name shows a whole file.

#ifndef QUILLON_PXTOOL_SIGN_H_
#define QUILLON_PXTOOL_SIGN_H_

int RunManifest(int argc, char** argv);
int RunSign(int argc, char** argv);
int RunVerify(int argc, char** argv);

#endif  // QUILLON_PXTOOL_SIGN_H_
