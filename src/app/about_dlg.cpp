#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

#include "app/app_texts.h"
#include "app/version_text.h"

namespace tessamer {

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int side : {16, 32, 48}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, side, side);
    gradient.setColorAt(0.0, QColor(127, 255, 0));
    gradient.setColorAt(1.0, QColor(40, 123, 65));
    painter.setPen(QPen(QColor(30, 60, 30), side / 16.0));
    painter.setBrush(gradient);
    painter.drawEllipse(QRectF(1, 1, side - 2, side - 2));
    icon.addPixmap(pixmap);
  }
  return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Tessamer"));
  auto* layout = new QGridLayout(this);
  auto* iconLabel = new QLabel(this);
  iconLabel->setPixmap(ApplicationIcon().pixmap(32, 32));
  layout->addWidget(iconLabel, 0, 0, 3, 1, Qt::AlignTop);
  versionLine = new QLabel(QStringLiteral("Tessamer, Version 1.0"), this);
  buildLine = new QLabel(QStringLiteral("Build #:"), this);
  layout->addWidget(versionLine, 0, 1);
  layout->addWidget(buildLine, 1, 1);
  layout->addWidget(new QLabel(kSettingsOrganisation, this), 2, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons, 0, 2, 1, 1, Qt::AlignTop);
  OnInitDialog();
}

void CAboutDlg::OnInitDialog() {
  versionLine->setText(QStringLiteral("Tessamer Version %1").arg(ReadVersionText()));
  buildLine->setText(BuildStampText());
}

}  // namespace tessamer
