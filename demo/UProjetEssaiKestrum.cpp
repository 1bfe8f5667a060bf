// The demo dialog's set-up and handlers.
#include "demo/UProjetEssaiKestrum.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QPushButton>
#include <QStyle>

#include "demo/ConvertError.h"
#include "demo/ExceptionHandler.h"
#include "ui_UProjetEssaiKestrum.h"

namespace kestrum {

namespace {

std::string FileName(const QString& Text) { return QFile::encodeName(Text).toStdString(); }

int32_t EditToInt(const QString& Text) { return StrToInt(Text.toStdString()); }

// The sum as 32-bit two's complement: a count that runs past the largest
// frame index wraps negative, which the EndPos setter then ignores.
int32_t WrappingAdd(int32_t A, int32_t B) {
  return static_cast<int32_t>(static_cast<uint32_t>(A) + static_cast<uint32_t>(B));
}

}  // namespace

TDlgEssaiKestrum::TDlgEssaiKestrum(QWidget* Parent)
    : QDialog(Parent),
      OpenDlgSource{"OpenDlgSource", false, "wav", "Fichiers Wav (*.wav)", QDir::homePath()},
      SaveDlgCible{"SaveDlgCible", true, "wav", "Fichiers Wav (*.wav)", QDir::homePath()},
      OpenDlgFiltre{"OpenDlgFiltre", false, "fir", "Fichiers filtre FIR (*.fir)", QString()},
      ExecuteFileDialog([this](const TFileDialogOptions& Options) { return ExecFileDialog(this, Options); }),
      ui(std::make_unique<Ui::DlgEssaiKestrum>()) {
  ui->setupUi(this);

  // Whole-pixel glyph widths keep the captions within the stored widths,
  // which were measured with such a font (the .ui format cannot hold this).
  QFont Font = font();
  Font.setHintingPreference(QFont::PreferFullHinting);
  setFont(Font);

  // Glyphs come from the style, so they match the platform's look. A smaller
  // folder glyph leaves room for the caption in the 75-pixel buttons.
  const QIcon Open = style()->standardIcon(QStyle::SP_DialogOpenButton);
  for (QPushButton* Button : {ui->BtnSource, ui->BtnCible, ui->BtnFiltre}) {
    Button->setIcon(Open);
    Button->setIconSize(QSize(12, 12));
  }
  ui->BtnStart->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));

  // The stock close button fills its box; no button is a default one, so
  // Enter in an edit neither starts a run nor closes the dialog.
  QPushButton* Close = ui->BitBtn1->button(QDialogButtonBox::Close);
  Close->setFixedSize(ui->BitBtn1->size());
  Close->setAutoDefault(false);
  ui->BitBtn1->layout()->setContentsMargins(0, 0, 0, 0);

  // The panel stretches to the status bar's right edge.
  ui->StatusBar1->addWidget(ui->StatusBar1Panel0, 1);

  Kestrum1 = new TKestrum(&FForm);
  Kestrum1->SetName("Kestrum1");
  Kestrum1->LoadProperties(property("Kestrum1").toString().toStdString());
  Kestrum1->OnProgress = TProgress(this, &TDlgEssaiKestrum::Kestrum1Progress);
  Kestrum1->OnStartFilter = TNotifyEvent(this, &TDlgEssaiKestrum::Kestrum1StartFilter);
  Kestrum1->OnEndFilter = TNotifyEvent(this, &TDlgEssaiKestrum::Kestrum1EndFilter);

  connect(ui->BtnSource, &QPushButton::clicked, this, [this] { Guard([this] { BtnSourceClick(nullptr); }); });
  connect(ui->BtnCible, &QPushButton::clicked, this, [this] { Guard([this] { BtnCibleClick(nullptr); }); });
  connect(ui->BtnFiltre, &QPushButton::clicked, this, [this] { Guard([this] { BtnFiltreClick(nullptr); }); });
  connect(ui->BtnStart, &QPushButton::clicked, this, [this] { Guard([this] { BtnStartClick(nullptr); }); });
  connect(ui->BitBtn1, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

TDlgEssaiKestrum::~TDlgEssaiKestrum() = default;

void TDlgEssaiKestrum::BtnSourceClick(TObject*) {
  const QString Name = ExecuteFileDialog(OpenDlgSource);
  if (!Name.isEmpty()) ui->EditSource->setText(Name);
}

void TDlgEssaiKestrum::BtnCibleClick(TObject*) {
  const QString Name = ExecuteFileDialog(SaveDlgCible);
  if (!Name.isEmpty()) ui->EditCible->setText(Name);
}

void TDlgEssaiKestrum::BtnFiltreClick(TObject*) {
  const QString Name = ExecuteFileDialog(OpenDlgFiltre);
  if (!Name.isEmpty()) ui->EditFiltre->setText(Name);
}

void TDlgEssaiKestrum::BtnStartClick(TObject*) {
  Kestrum1->SourceFile = FileName(ui->EditSource->text());
  Kestrum1->CibleFile = FileName(ui->EditCible->text());
  Kestrum1->FirFile = FileName(ui->EditFiltre->text());
  Kestrum1->SetStartPos(EditToInt(ui->EditDebut->text()));
  Kestrum1->SetEndPos(WrappingAdd(EditToInt(ui->EditFin->text()), Kestrum1->StartPos()));
  Kestrum1->Execute();
}

void TDlgEssaiKestrum::Kestrum1Progress(TObject*, int32_t Position, int32_t Max) {
  ui->PB1->setMaximum(Max);
  ui->PB1->setValue(Position);
}

void TDlgEssaiKestrum::Kestrum1StartFilter(TObject*) { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }

// A run sends OnEndFilter exactly once after OnStartFilter, failed or not, so
// one restore keeps the override stack balanced.
void TDlgEssaiKestrum::Kestrum1EndFilter(TObject*) { QGuiApplication::restoreOverrideCursor(); }

QString ExecFileDialog(QWidget* Parent, const TFileDialogOptions& Options) {
  QFileDialog Dialog(Parent, QString(), Options.InitialDir, Options.Filter);
  Dialog.setObjectName(Options.Name);
  Dialog.setAcceptMode(Options.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  Dialog.setDefaultSuffix(Options.DefaultSuffix);
  if (Dialog.exec() != QDialog::Accepted) return QString();
  return Dialog.selectedFiles().value(0);
}

}  // namespace kestrum
