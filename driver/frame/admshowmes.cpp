#include "frame/admshowmes.h"

#include <QFont>

#include "frame/operator_texts.h"
#include "frame/password_gate.h"

namespace tessar {
namespace {

constexpr int kFormHeight = 80;
constexpr int kLabelTop = 12;
constexpr int kLabelHeight = 22;
constexpr int kButtonTop = 44;
constexpr int kButtonHeight = 25;
constexpr int kLabelLeft = 2;
constexpr int kFontPixels = 16;

}  // namespace

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  setObjectName("advsm");
  setWindowTitle(QString::fromUtf8(texts::kNoticeCaption));
  setModal(true);
  label1 = new QLabel(this);
  label1->setObjectName("label1");
  QFont font("Times New Roman");
  font.setPixelSize(kFontPixels);
  font.setBold(true);
  label1->setFont(font);
  label1->setAlignment(Qt::AlignCenter);
  Button1 = new QPushButton(QString::fromUtf8(texts::kOk), this);
  Button1->setObjectName("Button1");
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

void Tadvsm::Prepare(const std::string& text) {
  const NoticeLayout layout = LayoutNotice(text);
  label1->setText(QString::fromStdString(text));
  setFixedSize(layout.width, kFormHeight);
  label1->setGeometry(kLabelLeft, kLabelTop, layout.width, kLabelHeight);
  Button1->setGeometry(layout.buttonLeft, kButtonTop, kNoticeButtonWidth, kButtonHeight);
}

}  // namespace tessar
