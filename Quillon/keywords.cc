#include "keywords.h"

#include <cstddef>
#include <utility>

namespace {

typedef KeywordArgument A;
typedef KeywordTest T;
typedef KeywordEffect E;

// Every slot has its row, in slot order, and every row is complete.
constexpr bool Complete(const Keyword& k) {
  const bool notes = k.effect == E::kNote || k.effect == E::kNoteAndAbort;
  if (k.name == nullptr || k.name[0] == '\0') return false;
  if (notes != (k.condition >= 0)) return false;
  if (notes && kKeywords[k.condition].condition != k.condition) return false;
  if (k.NotesOwnCondition() && k.note == nullptr) return false;
  if ((k.conditionEffect == ConditionEffect::kVerdict) != (k.verdict != 0))
    return false;
  if (k.effect == E::kFailure && k.codeName == nullptr) return false;
  if (k.autonomicRank != 0 && !k.NotesOwnCondition()) return false;
  if (k.codeName != nullptr && (k.autonomicCode == 0 || k.codeWords == nullptr))
    return false;
  if (k.test == T::kAlways && k.argument == A::kNumber) return false;
  return true;
}

constexpr bool EveryRowInPlace() {
  for (int slot = 0; slot < MAX_FLAGS; ++slot)
    if (kKeywords[slot].slot != slot || !Complete(kKeywords[slot]))
      return false;
  return true;
}

// No two conditions share a rank: the final code never depends on order.
constexpr bool RanksDistinct() {
  for (int a = 0; a < MAX_FLAGS; ++a)
    for (int b = a + 1; b < MAX_FLAGS; ++b)
      if (kKeywords[a].autonomicRank != 0 &&
          kKeywords[a].autonomicRank == kKeywords[b].autonomicRank)
        return false;
  return true;
}

static_assert(EveryRowInPlace(),
              "a row of kKeywords is out of its slot's place or incomplete");
static_assert(RanksDistinct(), "two conditions share an autonomic rank");

template <size_t... Slot>
struct Names {
  static constexpr const char* const kValue[] = {kKeywords[Slot].name...};
};

template <size_t... Slot>
constexpr Names<Slot...> NamesOf(std::index_sequence<Slot...>) {
  return Names<Slot...>();
}

}  // namespace

const char* const (&kFlagNames)[MAX_FLAGS] =
    decltype(NamesOf(std::make_index_sequence<MAX_FLAGS>()))::kValue;

const Keyword* KeywordOfAutonomicCode(unsigned int code) {
  for (const Keyword& k : kKeywords)
    if (k.codeName != nullptr && k.autonomicCode == code) return &k;
  return nullptr;
}
