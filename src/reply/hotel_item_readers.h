// The readers of one item element of a batch reply section, each filling one
// hotel record. The item element's own name plays no part; its element
// children are compared by name (whole, case-sensitively, through the 20-byte
// name buffer) and the ones with text fill the field of the same name, cut to
// the field. A field given twice takes the later text. Whatever the item does
// not carry stays as the caller left it (the batch parser passes zero-filled
// records). The readers report nothing.
#ifndef NALPOICOMM_REPLY_HOTEL_ITEM_READERS_H
#define NALPOICOMM_REPLY_HOTEL_ITEM_READERS_H

#include <tinyxml.h>

#include "NalPoiComm.h"

namespace nalpoicomm {

// Empties the three `Pri` slot names first, then reads the children "Con",
// "Pri", "Tel", "Addr", "HN" and "ID". `Con` gets a malloc'd copy of the text
// that passes with the record to the caller, who frees it; a later `Con` of
// the same item frees the earlier block first, so `record.Con` must come in
// null. Every "Pri" child starts again at slot 0 (see ReadPriSlots).
void ReadAddItem(const TiXmlElement* item, __ADDHOTEL__& record);

// Exactly the steps of ReadAddItem, for the update record of the same layout.
void ReadUpdItem(const TiXmlElement* item, __UPDHOTEL__& record);

// Reads only the children "HN" and "ID"; clears nothing and allocates nothing.
void ReadDelItem(const TiXmlElement* item, __DELHOTEL__& record);

}  // namespace nalpoicomm

#endif
