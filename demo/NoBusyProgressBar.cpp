// Paints the range 0 to 0 as 0 of 1; every other range as QProgressBar does.
#include "demo/NoBusyProgressBar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>

namespace kestrum {

void TNoBusyProgressBar::paintEvent(QPaintEvent* Event) {
  if (minimum() != 0 || maximum() != 0) {
    QProgressBar::paintEvent(Event);
    return;
  }
  QStyleOptionProgressBar Option;
  initStyleOption(&Option);
  Option.maximum = 1;
  Option.progress = 0;
  QStylePainter(this).drawControl(QStyle::CE_ProgressBar, Option);
}

}  // namespace kestrum
