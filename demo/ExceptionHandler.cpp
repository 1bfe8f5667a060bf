// The application-wide error handler and its default message box.
#include "demo/ExceptionHandler.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <utility>

namespace kestrum {

namespace {

void ShowException(const std::exception& E) {
  QWidget* Window = QApplication::activeWindow();
  const QString Title = Window ? Window->windowTitle() : QCoreApplication::applicationName();
  QMessageBox::critical(Window, Title, QString::fromLocal8Bit(E.what()));
}

TExceptionHandler& Installed() {
  static TExceptionHandler Handler;
  return Handler;
}

}  // namespace

void SetExceptionHandler(TExceptionHandler Handler) { Installed() = std::move(Handler); }

void HandleException(const std::exception& E) {
  if (Installed())
    Installed()(E);
  else
    ShowException(E);
}

}  // namespace kestrum
