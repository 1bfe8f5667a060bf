// A progress bar that draws the range 0 to 0 as an empty bar, where Qt draws
// an endless "busy" animation: every run of the dialog ends on that range.
#pragma once

#include <QProgressBar>

namespace kestrum {

// Without Q_OBJECT on purpose: to the meta-object system it stays a
// QProgressBar, as the stored layout names it.
class TNoBusyProgressBar : public QProgressBar {
public:
  using QProgressBar::QProgressBar;

protected:
  void paintEvent(QPaintEvent* Event) override;
};

}  // namespace kestrum
