#include "server/stats_oracle.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "server/text.h"

namespace corvane::server {

namespace {

// Games won, lost and drawn, from the bits of `h`, and `later` games on top,
// two of every three won.
struct Games {
  uint32_t won, lost, drawn;
  explicit Games(uint32_t h, uint32_t later = 0)
      : won(h % 200 + later - later / 3), lost((h >> 8) % 150 + later / 3), drawn((h >> 16) % 10) {}
};

std::string Points(uint32_t points, const Games& g) {
  return std::to_string(points) + " pts (" + std::to_string(g.won) + "/" + std::to_string(g.lost) + "/" +
         std::to_string(g.drawn) + ")";
}

std::string WonLostDrawn(const Games& g) {
  return std::to_string(g.won) + "-" + std::to_string(g.lost) + "-" + std::to_string(g.drawn);
}

}  // namespace

bool IsWellFormedName(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '[' || ch == ']' ||
           ch == '.';
  });
}

std::vector<std::string> StatsAnswer(const std::string& name, const std::string& product,
                                     const StatsStyle& style, int laterGames) {
  if (product.size() != 4) return {};
  const uint32_t later = laterGames > 0 ? static_cast<uint32_t>(laterGames) : 0;
  // What the later games did to the rating or points: +15 a win, -10 a loss.
  const uint32_t moved = 15 * (later - later / 3) - 10 * (later / 3);
  const std::string code = Upper(product);
  const std::string who = Lower(name);
  auto hash = [&](const std::string& what) { return Fnv1a(what + '/' + who + '/' + code); };
  const std::string heading = name + "'s record:";
  const bool known = code == "SEXP" || code == "STAR";
  const bool points =
      style.format == RecordFormat::kPoints || (style.format == RecordFormat::kByProduct && code == "SEXP");
  std::string tag;
  if (known && (style.tagging == RecordTag::kEvery ||
                (style.tagging == RecordTag::kRankedHalf && points && hash("rank") % 2 == 0))) {
    tag = "[" + style.tag + "] ";
  }
  if (points) {
    if (!known) return {heading, "Ladder games: 0 pts (0/0/0)", "Normal games: 0 pts (0/0/0)"};
    return {
        heading,
        "Ladder games: " + tag + Points(1000 + hash("points") % 1000 + moved, Games(hash("Ladder"), later)),
        "Normal games: " + tag + Points(0, Games(hash("Normal")))};
  }
  if (!known) return {heading, "Normal games: 0-0-0", "Ladder games: 0-0-0"};
  const bool hadGames = hash("rated") % 3 != 0;
  const std::string ladder = hadGames || later > 0
                                 ? WonLostDrawn(Games(hadGames ? hash("Ladder") : 0, later)) + " (rating " +
                                       std::to_string(1000 + hash("rating") % 1000 + moved) + ")"
                                 : "0-0-0";
  return {heading, "Normal games: " + tag + WonLostDrawn(Games(hash("Normal"))),
          "Ladder games: " + tag + ladder};
}

}  // namespace corvane::server
