// The `Pri` element of an update reply and of an add or update item: its
// element children, whatever their names, fill the record's three slots.
#ifndef NALPOICOMM_REPLY_PRI_SLOTS_H
#define NALPOICOMM_REPLY_PRI_SLOTS_H

#include <tinyxml.h>

#include <cstddef>

#include "NalPoiComm.h"

namespace nalpoicomm {

constexpr std::size_t kPriSlots = 3;  // every record that carries `Pri` holds three slots

// Starting at slot 0, each element child of `pri` in document order takes the
// next slot, also when nothing in it is usable; the fourth and later slot
// elements are ignored. Inside a slot element, the children named (whole,
// case-sensitively) "Name", "Mark", "Agr" and "Bref" that have text fill the
// slot's field of that name, cut to the field; a later one of the same name
// overwrites. Fields that the element does not carry keep what they held.
void ReadPriSlots(const TiXmlElement& pri, __PRIITEM__ (&slots)[kPriSlots]);

}  // namespace nalpoicomm

#endif
