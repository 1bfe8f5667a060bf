// Start-up of the demo program: the dialog is the main window; the program
// ends when it closes.
#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <csignal>

#include "kestrum/base/Application.h"
#include "demo/UProjetEssaiKestrum.h"

int main(int argc, char* argv[]) {
  // Under a file-size limit a write fails with "File too large" and the run
  // cleans up, instead of the program being killed.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication App(argc, argv);
  kestrum::TApplication::SetProcessMessagesHook([] { QCoreApplication::processEvents(); });

  // The dialog's layout was drawn for an 8-point font of Arial's widths; the
  // usual fallback (DejaVu Sans) is wider and clips the captions.
  QFont::insertSubstitutions("MS Sans Serif",
                             {"Microsoft Sans Serif", "Arial", "Liberation Sans", "Arimo", "Nimbus Sans", "Helvetica"});
  // Stock captions (the close button) in the user's language, when installed.
  QTranslator QtBase;
  if (QtBase.load(QLocale(), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&QtBase);

  kestrum::TDlgEssaiKestrum Dlg;
  QObject::connect(&Dlg, &QDialog::finished, &App, &QCoreApplication::quit);
  Dlg.show();
  const int Result = QApplication::exec();
  kestrum::TApplication::SetProcessMessagesHook(nullptr);
  return Result;
}
