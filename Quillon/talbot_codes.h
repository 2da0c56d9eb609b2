// Texts of the return codes of the installer tool Talbot, written to the
// trace and the run log when an installer command fails.

#ifndef QUILLON_TALBOT_CODES_H_
#define QUILLON_TALBOT_CODES_H_

class CTalbotErrorCodes {
 public:
  // The text for `code`; "Unknown error" for codes without one. Never null;
  // the text lives as long as the program.
  static const char* ErrorCodeToString(unsigned int code);
};

#endif  // QUILLON_TALBOT_CODES_H_
