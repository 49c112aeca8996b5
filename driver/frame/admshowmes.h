// Tadvsm, the message form of ShowNotice: one centred line in 16-pixel bold
// Times New Roman and an "ОК" button, the form as wide as the text needs.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <string>

namespace tessar {

class Tadvsm : public QDialog {
 public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Sets the text and lays the form out for it, without showing it.
  void Prepare(const std::string& text);

  QLabel* label1;
  QPushButton* Button1;  // "ОК"
};

}  // namespace tessar
