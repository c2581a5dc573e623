#include "app/screenshot_trigger.h"

#include <QPixmap>
#include <cstdio>

#include "app/tessamer_dlg.h"
#include "hub/core/notices.h"

namespace tessamer {

CScreenshotTrigger::CScreenshotTrigger(CTessamerDlg& window, QString file)
    : window(window), file(std::move(file)) {
  connect(&window, &CTessamerDlg::NoticeHandled, this, &CScreenshotTrigger::OnNotice);
  giveUp.setSingleShot(true);
  connect(&giveUp, &QTimer::timeout, this, [this] {
    std::fprintf(stderr, "tessamer: no data for the screenshot\n");
    this->window.reject();
  });
  giveUp.start(kGiveUpAfterMs);
  // Connect once the window's event loop runs.
  QTimer::singleShot(0, &window, [this] { this->window.ConnectButton().click(); });
}

void CScreenshotTrigger::OnNotice(unsigned message) {
  if (message != WM_HUB_PUBLISHED || saved) return;
  if (++published >= kPublishedBeforePicture) TakePicture();
}

void CScreenshotTrigger::TakePicture() {
  giveUp.stop();
  saved = window.grab().save(file, "PNG");
  if (!saved) std::fprintf(stderr, "tessamer: could not save %s\n", qPrintable(file));
  window.accept();
}

}  // namespace tessamer
