// What the stand-in chat server answers to "/stats <name> <product>": the
// record lines of a player, a fixed function of the name and the product so
// that tests can compute the expected answer.
#pragma once

#include <string>
#include <vector>

namespace corvane::server {

// How a record's figures are written. A real server of this kind has one
// display setting for all products; the stand-in can follow the product code
// (its default) or be told which format to use.
enum class RecordFormat {
  kByProduct,     // points for SEXP, won-lost-drawn for every other code
  kPoints,        // "Ladder games: 1625 pts (7/3/2)" whatever the product
  kWonLostDrawn,  // "Ladder games: 9-6-1 (rating 1480)" or "0-0-0" whatever the product
};

// Which records carry a "[tag] " before their figures.
enum class RecordTag {
  kRankedHalf,  // "[rank] " on the points records of a deterministic half of the players
  kNone,        // no record has a tag
  kEvery,       // every record line of a known product has the tag
};

// The shape of the records StatsAnswer writes.
struct StatsStyle {
  RecordFormat format = RecordFormat::kByProduct;
  RecordTag tagging = RecordTag::kRankedHalf;
  // The text inside the brackets, e.g. "A+" gives "[A+] ".
  std::string tag = "rank";
};

// True for a name of 1 to 15 characters, each a letter, digit or one of -_[].
bool IsWellFormedName(const std::string& name);

// The text of each 1018 INFO line the server sends for "/stats <name>
// <product>" about a known player: a "<name>'s record:" heading, then one line
// per kind of game. By default SEXP records count points with the games won,
// lost and drawn ("Ladder games: 1625 pts (7/3/2)", a rank tag "[rank]" before
// the points of a ranked player); STAR and every other four-character code
// count "won-lost-drawn" games ("Ladder games: 9-6-1 (rating 1480)", or
// "Ladder games: 0-0-0" for a player without ladder games), and a code the
// server does not know gives a record of zeros. `style` changes the format and
// the tags (see StatsStyle). The numbers are a fixed function of the name and
// the product, without letter case, and of `laterGames`: the ladder games
// played since the first answer, two of every three won, each win adding 15
// to the rating or points and each loss taking 10 (a player without ladder
// games has only these, and a rating from the first). Returns an empty vector
// when `product` is not four characters long.
std::vector<std::string> StatsAnswer(const std::string& name, const std::string& product,
                                     const StatsStyle& style = StatsStyle(), int laterGames = 0);

}  // namespace corvane::server
