// Checks shared by the targets that get records back from the library.
#ifndef NALPOICOMM_FUZZ_TARGETS_RECORD_CHECKS_H
#define NALPOICOMM_FUZZ_TARGETS_RECORD_CHECKS_H

#include <cstddef>
#include <cstring>

#include "NalPoiComm.h"

namespace nalpoifuzz {

// A fixed text field must end within its own bytes.
template <std::size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

inline bool PriTerminated(const __PRIITEM__ (&pri)[3]) {
    for (const __PRIITEM__& slot : pri) {
        if (!Terminated(slot.Name) || !Terminated(slot.Mark) || !Terminated(slot.Agr) ||
            !Terminated(slot.Bref)) {
            return false;
        }
    }
    return true;
}

// Added and updated hotels share one layout.
template <typename Hotel>
bool HotelTerminated(const Hotel& hotel) {
    return Terminated(hotel.ID) && Terminated(hotel.Tel) && Terminated(hotel.Addr) &&
           Terminated(hotel.HN) && PriTerminated(hotel.Pri);
}

}  // namespace nalpoifuzz

#endif
