// The demo dialog's set-up and handlers.
#include "demo/UProjetEssaiKestrum.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QLocale>
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

// What the status bar says after a successful run, in French: the samples
// that went beyond the sample width first, then the filter's oddities, else
// the frames (with their channel count beyond stereo) and the time.
QString RunSummary(int32_t Frames, int Channels, qint64 Milliseconds, const TOverflowCount& Count,
                   const QStringList& Warnings) {
  QLocale French(QLocale::French, QLocale::France);
  French.setNumberOptions(QLocale::OmitGroupSeparator);
  if (Count.Overflowed > 0 && Count.Float)
    return QString("Attention : %1 échantillons sur %2 au-delà de la pleine échelle, conservés (crête %3 × pleine échelle).")
        .arg(French.toString(Count.Overflowed), French.toString(Count.Samples),
             French.toString(Count.PeakFullScale(), 'f', 2));
  if (Count.Overflowed > 0)
    return QString("Attention : %1 échantillons sur %2 hors %3 bits, repliés (crête %4 × pleine échelle).")
        .arg(French.toString(Count.Overflowed), French.toString(Count.Samples), French.toString(Count.Bits),
             French.toString(Count.PeakFullScale(), 'f', 2));
  const QString Frame = Channels > 2 ? QString("%1 échantillons de %2 canaux").arg(French.toString(Frames), French.toString(Channels))
                                     : QString("%1 échantillons").arg(French.toString(Frames));
  const QString Done = QString("%1 filtrés en %2 s.").arg(Frame, French.toString(Milliseconds / 1000.0, 'f', 2));
  if (!Warnings.isEmpty()) return Done + " Attention : " + Warnings.front();
  return Done;
}

}  // namespace

TDlgEssaiKestrum::TDlgEssaiKestrum(QWidget* Parent)
    : QDialog(Parent),
      OpenDlgSource{"OpenDlgSource", false, "wav", "Fichiers Wav (*.wav)", QDir::homePath()},
      SaveDlgCible{"SaveDlgCible", true, "wav", "Fichiers Wav (*.wav)", QDir::homePath()},
      OpenDlgFiltre{"OpenDlgFiltre", false, "fir", "Fichiers filtre FIR (*.fir);;Réponses impulsionnelles (*.wav)", QString()},
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
  Kestrum1->OnWarning = TLog(this, &TDlgEssaiKestrum::Kestrum1Warning);

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
  FWarnings.clear();
  QElapsedTimer Timer;
  Timer.start();
  try {
    Kestrum1->Execute();
  } catch (...) {
    ShowStatus("Le filtrage a échoué.");
    throw;
  }
  ShowStatus(RunSummary(Kestrum1->NbEch(), Kestrum1->SourceFormat().Channels, Timer.elapsed(), Kestrum1->Overflow,
                        FWarnings));
}

// The panel keeps its first sentence. Its tooltip holds the text and every
// warning whole, the panel being too narrow for long file names.
void TDlgEssaiKestrum::ShowStatus(const QString& Text) {
  ui->StatusBar1Panel0->setText("Exemple d'utilisation de Kestrum. " + Text);
  ui->StatusBar1Panel0->setToolTip((QStringList(Text) + FWarnings).join('\n'));
}

void TDlgEssaiKestrum::Kestrum1Warning(TObject*, std::string Warning) {
  FWarnings << QString::fromStdString(Warning);
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
