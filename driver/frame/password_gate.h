// The closing password and the password gate's verdict, without a window.
#pragma once

#include <cstdint>
#include <string>

namespace tessar {

// Modal results of the password form.
constexpr int kGateAccepted = 1;  // the entry equals the closing password
constexpr int kGateCancelled = 2;
constexpr int kGateWrong = 4;

// Five decimal digits drawn uniformly from 10000 to 99998.
std::string DrawClosingPassword(uint64_t seed);

// The verdict on the entry's text as the masked entry reports it (blanks for
// unfilled positions), so fewer than five digits never match.
int PasswordVerdict(const std::string& entry, const std::string& closingPassword);

// The message form's layout for a notice of `text`: 10 pixels per character
// (the label font's 12 points less 2), the OK button centred.
struct NoticeLayout {
  int width = 0;
  int buttonLeft = 0;
};
constexpr int kNoticeFontPoints = 12;
constexpr int kNoticeButtonWidth = 72;
NoticeLayout LayoutNotice(const std::string& utf8Text);

}  // namespace tessar
