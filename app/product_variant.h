// The constants in which the two programs differ. BWCorvane is built with
// kBroodWarVariant, SCCorvane with kStarcraftVariant.
#ifndef CORVANE_APP_PRODUCT_VARIANT_H_
#define CORVANE_APP_PRODUCT_VARIANT_H_

namespace corvane {

struct ProductVariant {
  const char* bannerIndentation;   // leads every banner line
  const char* bannerLine5;         // the product the checker is for
  const char* resultLogFile;       // where the server's answers are kept
  const char* resultsFile;         // one row per request; ends in ".csv"
  const char* membersListFile;     // the names to check, one a line
  const char* membersListError;    // printed when that list cannot be opened
  const char* statsCommandFormat;  // one %s: the player's name
  const char* reportPageFile;      // the page made from the results file
  const char* programName;         // the program, as the page names it
  const char* seenFile;  // who was seen in the home channel; beside resultsFile
};

extern const ProductVariant kBroodWarVariant;
extern const ProductVariant kStarcraftVariant;

}  // namespace corvane

#endif  // CORVANE_APP_PRODUCT_VARIANT_H_
