#include "frame/pasx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "frame/operator_texts.h"
#include "frame/password_gate.h"

namespace tessar {

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setObjectName("TForm2");
  setWindowTitle(QString::fromUtf8(texts::kPasswordCaption));
  setModal(true);
  auto* prompt = new QLabel(QString::fromUtf8(texts::kPasswordPrompt), this);
  MaskEdit1 = new QLineEdit(this);
  MaskEdit1->setObjectName("MaskEdit1");
  // Five digit positions; every typed character shows as "*".
  MaskEdit1->setInputMask("99999");
  MaskEdit1->setEchoMode(QLineEdit::Password);
  MaskEdit1->setStyleSheet("lineedit-password-character: 42;");
  BitBtn1 = new QPushButton(QString::fromUtf8(texts::kOk), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  BitBtn2 = new QPushButton(QString::fromUtf8(texts::kCancel), this);
  BitBtn2->setObjectName("BitBtn2");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addWidget(MaskEdit1);
  layout->addLayout(buttons);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { done(kGateCancelled); });
}

int TForm2::RunGate() {
  return exec();
}

void TForm2::reject() {
  done(kGateCancelled);
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Typing replaces the previous entry, which the form keeps between uses.
  MaskEdit1->selectAll();
  MaskEdit1->setFocus();
}

void TForm2::BitBtn1Click() {
  done(PasswordVerdict(MaskEdit1->text().toStdString(), closingPassword_));
}

}  // namespace tessar
