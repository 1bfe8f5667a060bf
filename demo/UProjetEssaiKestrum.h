// TDlgEssaiKestrum, the demo dialog: choose a source WAV, a target and a FIR
// filter, then run TKestrum on them.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "kestrum/base/Component.h"
#include "kestrum/component/Kestrum.h"

namespace Ui {
class DlgEssaiKestrum;
}

namespace kestrum {

// What one of the dialog's file dialogs asks for.
struct TFileDialogOptions {
  QString Name;  // OpenDlgSource, SaveDlgCible or OpenDlgFiltre
  bool Save = false;
  QString DefaultSuffix;
  QString Filter;
  QString InitialDir;  // empty: the file dialog's own choice
};

class TDlgEssaiKestrum : public QDialog {
  Q_OBJECT

public:
  explicit TDlgEssaiKestrum(QWidget* Parent = nullptr);
  ~TDlgEssaiKestrum() override;

  // Owned by the form component, which lives as long as the dialog.
  TKestrum* Kestrum1 = nullptr;

  const TFileDialogOptions OpenDlgSource;
  const TFileDialogOptions SaveDlgCible;
  const TFileDialogOptions OpenDlgFiltre;

  // Shows a file dialog and returns the confirmed name, or an empty string
  // when the user cancels. Tests replace it; by default a modal QFileDialog.
  std::function<QString(const TFileDialogOptions&)> ExecuteFileDialog;

  // Button handlers; the buttons call them through Guard, direct calls see
  // their errors.
  void BtnSourceClick(TObject* Sender);
  void BtnCibleClick(TObject* Sender);
  void BtnFiltreClick(TObject* Sender);
  // Stores the three names, StartPos (EditDebut) and EndPos (StartPos plus
  // EditFin's count) through their setters, then runs Kestrum1 and says on
  // the status bar how the run went. Throws EConvertError for an edit that is
  // not an integer, before the run; a run's error passes through.
  void BtnStartClick(TObject* Sender);

  // Kestrum1's events.
  void Kestrum1Progress(TObject* Sender, int32_t Position, int32_t Max);
  void Kestrum1StartFilter(TObject* Sender);
  void Kestrum1EndFilter(TObject* Sender);
  void Kestrum1Warning(TObject* Sender, std::string Warning);

private:
  void ShowStatus(const QString& Text);

  std::unique_ptr<Ui::DlgEssaiKestrum> ui;
  QStringList FWarnings;  // the current run's
  TComponent FForm{nullptr};  // owner of the dialog's components
};

// The modal QFileDialog behind TDlgEssaiKestrum::ExecuteFileDialog.
QString ExecFileDialog(QWidget* Parent, const TFileDialogOptions& Options);

}  // namespace kestrum
