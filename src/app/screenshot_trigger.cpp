#include "app/screenshot_trigger.h"

#include <QPixmap>
#include <cstdio>

#include "app/health_views.h"
#include "app/live_data_window.h"
#include "app/tessamer_dlg.h"
#include "hub/core/notices.h"

namespace tessamer {

CScreenshotTrigger::CScreenshotTrigger(CTessamerDlg& window, ScreenshotFiles files)
    : window(window), files(std::move(files)) {
  connect(&window, &CTessamerDlg::NoticeHandled, this, &CScreenshotTrigger::OnNotice);
  giveUp.setSingleShot(true);
  connect(&giveUp, &QTimer::timeout, this, [this] {
    std::fprintf(stderr, "tessamer: no data for the screenshot\n");
    this->window.reject();
  });
  giveUp.start(kGiveUpAfterMs);
  viewsReady.setSingleShot(true);
  connect(&viewsReady, &QTimer::timeout, this, &CScreenshotTrigger::TakeViewPictures);
  // Connect once the window's event loop runs.
  QTimer::singleShot(0, &window, [this] { this->window.ConnectButton().click(); });
}

void CScreenshotTrigger::OnNotice(unsigned message) {
  if (message != WM_HUB_PUBLISHED || started) return;
  if (++published >= kPublishedBeforePicture) TakeWindowPicture();
}

bool CScreenshotTrigger::Save(QWidget& widget, const QString& file) {
  if (file.isEmpty()) return true;
  if (widget.grab().save(file, "PNG")) return true;
  std::fprintf(stderr, "tessamer: could not save %s\n", qPrintable(file));
  return false;
}

void CScreenshotTrigger::TakeWindowPicture() {
  started = true;
  giveUp.stop();
  saved = Save(window, files.window);
  if (files.boxes.isEmpty() && files.liveData.isEmpty()) {
    window.accept();
    return;
  }
  window.OpenHealthWindow();
  window.OpenLiveDataWindow();
  viewsReady.start(files.viewSeconds * 1000);
}

void CScreenshotTrigger::TakeViewPictures() {
  window.HealthWindow()->Refresh();
  window.LiveDataWindow()->Refresh();
  const bool boxes = Save(*window.HealthWindow(), files.boxes);
  const bool liveData = Save(*window.LiveDataWindow(), files.liveData);
  saved = saved && boxes && liveData;
  window.accept();
}

}  // namespace tessamer
