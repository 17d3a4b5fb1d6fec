#include "access/container.h"
#include "catalogue/family_table.h"

namespace qb::access {

FamilyInfo LookUpFamily(uint8_t family) {
  if (const FamilyEntry* f = FindFamily(family))
    return FamilyInfo{f->name, f->alternate_names, f->description, f->max_speed};
  return FamilyInfo{"DS????", "", "A 1-Wire device of a family this library does not know.", 0};
}

}  // namespace qb::access
