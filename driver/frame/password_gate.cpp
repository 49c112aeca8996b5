#include "frame/password_gate.h"

#include <random>

namespace tessar {
namespace {

constexpr int kLowest = 10000;
constexpr int kValues = 89999;  // 10000..99998

// Characters, not bytes: the operator texts are UTF-8.
int CountCharacters(const std::string& utf8) {
  int count = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80)
      ++count;
  }
  return count;
}

}  // namespace

std::string DrawClosingPassword(uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_int_distribution<int> draw(0, kValues - 1);
  return std::to_string(kLowest + draw(generator));
}

int PasswordVerdict(const std::string& entry, const std::string& closingPassword) {
  return entry == closingPassword ? kGateAccepted : kGateWrong;
}

NoticeLayout LayoutNotice(const std::string& utf8Text) {
  NoticeLayout layout;
  layout.width = (kNoticeFontPoints - 2) * CountCharacters(utf8Text);
  layout.buttonLeft = (layout.width - kNoticeButtonWidth) / 2;
  return layout;
}

}  // namespace tessar
