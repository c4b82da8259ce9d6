// star.cpp: the program-wide star arrays.
#include "data/star.h"

#include <cstdlib>

SlotArray<Star> StarArray;
SlotArray<uint8_t> StarTag;

bool AllocateStars(int32_t slots) {
    StarArray.Release();
    StarTag.Release();
    if (slots < 1 || !StarArray.Resize(static_cast<std::size_t>(slots)) ||
        !StarTag.Resize(static_cast<std::size_t>(slots))) {
        StarArray.Release();
        StarTag.Release();
        return false;
    }
    return true;
}

void ResetStars() {
    if (!AllocateStars(MaxStars)) {
        std::abort();  // 400 kB the program cannot start without
    }
}
