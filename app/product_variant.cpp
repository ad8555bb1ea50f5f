#include "app/product_variant.h"

namespace corvane {

const ProductVariant kBroodWarVariant = {
    "\t\t",
    "Stat Checker for Brood War Only",
    "BroodWar.log",
    "BroodWar.csv",
    "bwmembers.txt",
    "Error Reading Brood War Members List.  Make sure list is in same "
    "directory as\n\t this program.\n",
    "/stats %s SEXP\r\n",
    "BroodWar.html",
    "BWCorvane",
    "BroodWar-seen.csv",
};

const ProductVariant kStarcraftVariant = {
    "\t\t\t",
    "Stat Checker for Starcraft Only",
    "Starcraft.log",
    "Starcraft.csv",
    "scmembers.txt",
    "Error Reading Starcraft Members List.  Make sure list is in same "
    "directory as\n\t this program.\n",
    "/stats %s STAR\r\n",
    "Starcraft.html",
    "SCCorvane",
    "Starcraft-seen.csv",
};

}  // namespace corvane
