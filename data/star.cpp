// star.cpp: the program-wide star arrays.
#include "data/star.h"

alignas(64) std::array<Star, MaxStars> StarArray{};
std::array<uint8_t, MaxStars> StarTag{};

void ResetStars() {
    StarArray.fill(Star{0.0, 0.0, 0.0});
    StarTag.fill(0);
}
