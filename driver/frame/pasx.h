// TForm2, the password form: a masked entry of five digits and the buttons
// "ОК" and "Отмена". Its modal result is 1 when the entry equals the closing
// password, 4 when it differs and 2 when the operator cancels or closes it.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <string>

namespace tessar {

class TForm2 : public QDialog {
 public:
  explicit TForm2(QWidget* parent = nullptr);

  // The password the entry must match.
  void SetClosingPassword(const std::string& password) { closingPassword_ = password; }
  // Shows the form modally; its modal result.
  int RunGate();

  QLineEdit* MaskEdit1;
  QPushButton* BitBtn1;  // "ОК"
  QPushButton* BitBtn2;  // "Отмена"

  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BitBtn1Click();
  std::string closingPassword_;
};

}  // namespace tessar
