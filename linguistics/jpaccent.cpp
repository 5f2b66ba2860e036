#include "linguistics/jpaccent.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/dystr.h"

int QLTP_accentjp_get_aconrule(const char* acon, const char* previous_pos, dystr* out, int* number) {
  auto give = [out, number](std::string_view text, int value, int index) {
    if (out) QLTP_dystr_replace(out, text.data(), static_cast<int>(text.size()));
    if (number) *number = value;
    return index;
  };
  if (!acon || !*acon) return give("*", 0, -1);
  const std::string_view rule(acon);
  const std::string_view pos(previous_pos ? previous_pos : "");
  size_t start = 0;
  for (int index = 0; start <= rule.size(); ++index) {
    size_t end = rule.find('/', start);
    std::string_view alt = rule.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    bool holds = true;
    for (size_t cut; holds && (cut = alt.find('%')) != std::string_view::npos; alt.remove_prefix(cut + 1))
      holds = pos.substr(0, cut) == alt.substr(0, cut) && pos.size() >= cut;
    if (holds) {
      int value = 0;
      if (size_t at = alt.find('@'); at != std::string_view::npos) {
        value = std::atoi(std::string(alt.substr(at + 1)).c_str());
        alt = alt.substr(0, at);
      }
      return give(alt, value, index);
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return give("*", 0, -1);
}
