// CQZString: a standard string with printf-style formatting.

#ifndef QUILLON_QZ_STRING_H_
#define QUILLON_QZ_STRING_H_

#include <cstdarg>
#include <cstdio>

template <class StringT, class CharT>
class CQZString : public StringT {
 public:
  CQZString() {}

  // Replaces the content with the formatted text and returns the string.
  // (Formats are narrow text throughout the suite.)
  CQZString& Format(const char* pFormatString, ...)
      __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, pFormatString);
    FormatV(*this, pFormatString, args);
    va_end(args);
    return *this;
  }

  // Formats into destString, whose length becomes exactly that of the
  // formatted text. A format error leaves destString empty.
  static void FormatV(StringT& destString, const char* pFormatString,
                      va_list args) {
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(nullptr, 0, pFormatString, measure);
    va_end(measure);
    if (n <= 0) {
      destString.clear();
      return;
    }
    destString.resize(static_cast<size_t>(n));
    // The standard string keeps room for its terminating zero.
    vsnprintf(&destString[0], static_cast<size_t>(n) + 1, pFormatString, args);
  }
};

#endif  // QUILLON_QZ_STRING_H_
