#pragma once
// TDemoCity: the made-up city of Borvino for the demo directory. It names
// the streets (with their codes and sizes) and produces subscribers one
// after another: people as "ФАМИЛИЯ И.О." and organisations, each with a
// six-digit number and an address on one of the streets. Everything comes
// from the seed; the word lists are written in UTF-8 here and converted to
// Windows-1251 once, when the city is made. Every text it hands out is
// Windows-1251 and fits the directory's fields.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/demo/demo_random.h"

namespace demo {

struct TDemoStreet {
  std::string Code;  // KODUL: five digits, multiples of kCodeStep in list order
  std::string Name;  // NAME: upper case, at most 40 bytes
  int Houses = 0;    // house numbers 1 .. Houses
  bool Blocks = false;  // blocks of flats: some houses have buildings (корпус)
};

struct TDemoSubscriber {
  std::string Numtel;  // six digits
  std::string Name;
  std::string Kodul;  // a street's code; now and then one no street has
  std::string Dom;    // house number as decimal text
  std::string Korp;   // building, mostly empty
};

class TDemoCity {
 public:
  // The streets are `streetCount` names (sorted, coded in that order); the
  // phone numbers are a permutation of the six-digit numbers 200000 ..
  // 999999, so they repeat only past 800000 subscribers.
  TDemoCity(uint64_t seed, int streetCount);

  const std::vector<TDemoStreet>& Streets() const { return streets_; }
  // The next subscriber of the sequence.
  void NextSubscriber(TDemoSubscriber& out);

  static constexpr int kCodeStep = 10;
  static constexpr int kNumberBase = 200000;
  static constexpr int kNumberPool = 800000;

 private:
  void MakeStreets(int count);
  std::string PersonName();
  std::string OrganisationName();
  std::string PhoneNumber(uint32_t index) const;
  const TDemoStreet& PickStreet();

  TDemoRandom random_;
  uint64_t numberKey_;
  uint32_t issued_ = 0;
  std::vector<TDemoStreet> streets_;
  std::vector<uint32_t> streetWeights_;  // running sums, for PickStreet
};

}  // namespace demo
