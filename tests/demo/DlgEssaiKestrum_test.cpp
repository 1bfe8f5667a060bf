// Tests of the demo dialog: its stored layout, Kestrum1's set-up, and the
// handlers run against real files.
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <memory>

#include "demo/ConvertError.h"
#include "demo/ExceptionHandler.h"
#include "demo/UProjetEssaiKestrum.h"
#include "tests/TestUtil.h"

using namespace kestrum;
using namespace kestrum::test;

namespace {

const char* const kSmooth3 = "Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n";

QString ControlText(QWidget* W) {
  if (auto* L = qobject_cast<QLabel*>(W)) return L->text();
  if (auto* B = qobject_cast<QPushButton*>(W)) return B->text();
  if (auto* E = qobject_cast<QLineEdit*>(W)) return E->text();
  if (auto* Box = qobject_cast<QDialogButtonBox*>(W)) return Box->button(QDialogButtonBox::Close)->text();
  if (auto* S = qobject_cast<QStatusBar*>(W)) return S->findChild<QLabel*>()->text();
  return QString();
}

QString Describe(const TFileDialogOptions& O) {
  return QString("%1 %2 *.%3 '%4' in '%5'")
      .arg(O.Name, O.Save ? "save" : "open", O.DefaultSuffix, O.Filter, O.InitialDir);
}

}  // namespace

class DlgEssaiKestrumTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TDlgEssaiKestrum> Dlg;
  QStringList Messages;  // what reached the application's error handler

  template <class T>
  T* Control(const QString& Name) {
    T* W = Dlg->findChild<T*>(Name);
    if (!W) qFatal("no control %s", qPrintable(Name));
    return W;
  }
  void SetEdits(const std::string& Source, const std::string& Cible, const std::string& Filtre, const QString& Debut,
                const QString& Fin) {
    Control<QLineEdit>("EditSource")->setText(QString::fromStdString(Source));
    Control<QLineEdit>("EditCible")->setText(QString::fromStdString(Cible));
    Control<QLineEdit>("EditFiltre")->setText(QString::fromStdString(Filtre));
    Control<QLineEdit>("EditDebut")->setText(Debut);
    Control<QLineEdit>("EditFin")->setText(Fin);
  }

private slots:
  void init() {
    Dlg = std::make_unique<TDlgEssaiKestrum>();
    Dlg->ExecuteFileDialog = [](const TFileDialogOptions&) { return QString(); };
    Messages.clear();
    SetExceptionHandler([this](const std::exception& E) { Messages << QString::fromLocal8Bit(E.what()); });
  }

  void cleanup() {
    Dlg.reset();
    SetExceptionHandler(nullptr);
    while (QGuiApplication::overrideCursor()) QGuiApplication::restoreOverrideCursor();
  }

  void controlsHaveTheirKindTextAndTabOrder_data() {
    QTest::addColumn<QString>("Name");
    QTest::addColumn<QString>("Kind");
    QTest::addColumn<QString>("Text");
    QTest::addColumn<int>("TabOrder");
    QTest::addColumn<bool>("Bold");

    const QString Close = QDialogButtonBox(QDialogButtonBox::Close).button(QDialogButtonBox::Close)->text();
    const QString Status = "Exemple d'utilisation de Kestrum. Choisissez les fichiers puis Start.";
    // clang-format off
    QTest::newRow("source label") << "Label1" << "QLabel" << "Fichier source =>" << -1 << true;
    QTest::newRow("filter label") << "Label2" << "QLabel" << "Fichier filtre =>" << -1 << true;
    QTest::newRow("target label") << "Label3" << "QLabel" << "Fichier cible =>" << -1 << true;
    QTest::newRow("first sample label") << "Label4" << "QLabel" << "Echantillon début" << -1
                                        << false;
    QTest::newRow("count label") << "Label5" << "QLabel" << "Nb. Echantillons" << -1 << false;
    QTest::newRow("source button") << "BtnSource" << "QPushButton" << "Recherche" << 0
                                   << true;
    QTest::newRow("target button") << "BtnCible" << "QPushButton" << "Recherche" << 1
                                   << true;
    QTest::newRow("filter button") << "BtnFiltre" << "QPushButton" << "Recherche" << 2
                                   << true;
    QTest::newRow("source edit") << "EditSource" << "QLineEdit" << "" << 3 << false;
    QTest::newRow("target edit") << "EditCible" << "QLineEdit" << "" << 4 << false;
    QTest::newRow("filter edit") << "EditFiltre" << "QLineEdit" << "" << 5 << false;
    QTest::newRow("progress bar") << "PB1" << "QProgressBar" << "" << 6 << false;
    QTest::newRow("start button") << "BtnStart" << "QPushButton" << "Start" << 7 << true;
    QTest::newRow("first sample edit") << "EditDebut" << "QLineEdit" << "0" << 8 << false;
    QTest::newRow("count edit") << "EditFin" << "QLineEdit" << "0" << 9 << false;
    QTest::newRow("stock close button") << "BitBtn1" << "QDialogButtonBox" << Close << 10
                                        << true;
    QTest::newRow("status bar") << "StatusBar1" << "QStatusBar" << Status << -1 << false;
    // clang-format on
  }

  void controlsHaveTheirKindTextAndTabOrder() {
    QFETCH(QString, Name);
    QFETCH(QString, Kind);
    QFETCH(QString, Text);
    QFETCH(int, TabOrder);
    QFETCH(bool, Bold);

    QWidget* W = Control<QWidget>(Name);
    QCOMPARE(W->metaObject()->className(), Kind);
    QCOMPARE(W->parentWidget(), Dlg.get());
    QCOMPARE(ControlText(W), Text);
    QCOMPARE(W->font().bold(), Bold);
    if (TabOrder >= 0) {
      // Order of the tab-ordered controls along the focus chain; the stock
      // close button stands for its box.
      const QStringList Tabbed = {"BtnSource", "BtnCible", "BtnFiltre", "EditSource", "EditCible", "EditFiltre",
                                  "PB1",       "BtnStart", "EditDebut", "EditFin",    "BitBtn1"};
      QStringList Chain;
      for (QWidget* F = Dlg->nextInFocusChain(); F != Dlg.get(); F = F->nextInFocusChain()) {
        const QWidget* Named =
            F->parentWidget() && F->parentWidget()->objectName() == "BitBtn1" ? F->parentWidget() : F;
        if (Tabbed.contains(Named->objectName()) && !Chain.contains(Named->objectName())) Chain << Named->objectName();
      }
      QCOMPARE(Chain.indexOf(Name), TabOrder);
    }
    if (auto* PB1 = qobject_cast<QProgressBar*>(W)) {
      QCOMPARE(PB1->minimum(), 0);
      QCOMPARE(PB1->maximum(), 100);
      QCOMPARE(PB1->value(), 0);
    }
    if (auto* StatusBar1 = qobject_cast<QStatusBar*>(W)) {
      QVERIFY(!StatusBar1->isSizeGripEnabled());
      QCOMPARE(StatusBar1->findChildren<QLabel*>().size(), 1);
      QCOMPARE(StatusBar1->findChild<QLabel*>()->minimumWidth(), 50);
    }
  }

  void dialogIsAFixedWindowCentredOnTheScreen() {
    QCOMPARE(Dlg->objectName(), QString("DlgEssaiKestrum"));
    QCOMPARE(Dlg->windowTitle(), QString("Exemple d'utilisation de Kestrum"));
    QCOMPARE(Dlg->minimumSize(), Dlg->maximumSize());
    Dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(Dlg.get()));
    const QPoint Offset = Dlg->frameGeometry().center() - Dlg->screen()->availableGeometry().center();
    QVERIFY2(Offset.manhattanLength() <= 2, qPrintable(QString("off by %1, %2").arg(Offset.x()).arg(Offset.y())));
  }

  void kestrum1HasItsStoredValuesAndBoundEvents() {
    TKestrum* K = Dlg->Kestrum1;
    QVERIFY(K->Owner() != nullptr);
    QCOMPARE(K->Name(), std::string("Kestrum1"));
    QCOMPARE(K->PropertyText("Version"), std::string("'0.90'"));
    QCOMPARE(K->PropertyText("StartPos"), std::string("0"));
    QCOMPARE(K->PropertyText("EndPos"), std::string("0"));
    QCOMPARE(K->PropertyText("ActiveProcessMessage"), std::string("False"));
    QVERIFY(!K->OnLog);
    QVERIFY(!K->OnSourceProperty);

    // The maximum goes first, or a position beyond the old maximum is refused.
    K->OnProgress(K, 5000, 12000);
    QCOMPARE(Control<QProgressBar>("PB1")->maximum(), 12000);
    QCOMPARE(Control<QProgressBar>("PB1")->value(), 5000);
    K->OnStartFilter(K);
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    K->OnEndFilter(K);
    QVERIFY(!QGuiApplication::overrideCursor());
  }

  void startFiltersTheSourceIntoTheTarget() {
    TScratchDir Dir;
    std::vector<int16_t> Samples(12000);  // more than two progress steps
    for (size_t I = 0; I < Samples.size(); ++I) Samples[I] = static_cast<int16_t>((I * 37) % 2001 - 1000);
    WriteFileBytes(Dir / "sourc\xC3\xA9.wav", MakeWav(1, 16, 8000, Words(Samples)));
    WriteFileText(Dir / "smooth3.fir", kSmooth3);
    SetEdits(Dir / "sourc\xC3\xA9.wav", Dir / "cible.wav", Dir / "smooth3.fir", "100", "11000");

    auto* PB1 = Control<QProgressBar>("PB1");
    QSignalSpy Values(PB1, &QProgressBar::valueChanged);
    QList<bool> Waiting;
    connect(PB1, &QProgressBar::valueChanged, this, [&Waiting] {
      Waiting << (QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor);
    });
    QTest::mouseClick(Control<QPushButton>("BtnStart"), Qt::LeftButton);

    QCOMPARE(Messages, QStringList());
    QCOMPARE(Values, (QList<QList<QVariant>>{{5000}, {10000}, {0}}));
    QCOMPARE(Waiting, (QList<bool>{true, true, true}));
    QCOMPARE(PB1->maximum(), 0);
    QCOMPARE(PB1->value(), 0);
    QVERIFY(!QGuiApplication::overrideCursor());

    // The same run made directly gives the same bytes.
    TKestrum Direct(nullptr);
    Direct.SourceFile = Dir / "sourc\xC3\xA9.wav";
    Direct.CibleFile = Dir / "direct.wav";
    Direct.FirFile = Dir / "smooth3.fir";
    Direct.SetStartPos(100);
    Direct.SetEndPos(11100);
    Direct.Execute();
    QVERIFY(ReadFileBytes(Dir / "cible.wav") == ReadFileBytes(Dir / "direct.wav"));
  }

  void failedRunReachesTheHandlerAndRestoresTheCursor() {
    TScratchDir Dir;
    WriteFileText(Dir / "smooth3.fir", kSmooth3);
    SetEdits(Dir / "missing.wav", Dir / "cible.wav", Dir / "smooth3.fir", "0", "0");
    QTest::mouseClick(Control<QPushButton>("BtnStart"), Qt::LeftButton);

    QCOMPARE(Messages.size(), 1);
    QVERIFY2(Messages[0].contains("missing.wav"), qPrintable(Messages[0]));
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(Control<QProgressBar>("PB1")->maximum(), 0);
    QCOMPARE(Control<QProgressBar>("PB1")->value(), 0);
    QCOMPARE(Dir.Files(), std::vector<std::string>{"smooth3.fir"});
  }

  void runEndsWithAnEmptyBarAndSaysHowItWent_data() {
    QTest::addColumn<bool>("Fails");  // the source is missing
    QTest::addColumn<QString>("Fir");
    QTest::addColumn<QString>("Status");  // after the panel's first sentence, a pattern

    QTest::newRow("success") << false << kSmooth3 << "6000 échantillons filtrés en \\d+,\\d\\d s\\.";
    QTest::newRow("wrapped samples")
        << false
        << "Double\n1\n0 2.0\n"
        << "Attention : 3000 échantillons sur 6000 hors 16 bits, repliés \\(crête 1,83 × pleine échelle\\)\\.";
    QTest::newRow("an odd filter") << false
                                   << "No taps\n0\n"
                                   << "6000 échantillons filtrés en \\d+,\\d\\d s\\. Attention : .*f\\.fir, line 2: the "
                                      "tap count is 0: the filter has no taps and the output is silent";
    QTest::newRow("failure") << true << kSmooth3 << "Le filtrage a échoué\\.";
  }

  void runEndsWithAnEmptyBarAndSaysHowItWent() {
    QFETCH(bool, Fails);
    QFETCH(QString, Fir);
    QFETCH(QString, Status);

    TScratchDir Dir;
    std::vector<int16_t> Samples(6000);  // beyond one progress step; every other one doubles beyond 16 bits
    for (size_t I = 0; I < Samples.size(); ++I) Samples[I] = static_cast<int16_t>(I % 2 ? -30000 : 1000);
    WriteFileBytes(Dir / "source.wav", MakeWav(1, 16, 8000, Words(Samples)));
    WriteFileText(Dir / "f.fir", Fir.toStdString());
    SetEdits(Dir / (Fails ? "missing.wav" : "source.wav"), Dir / "cible.wav", Dir / "f.fir", "0", "0");
    auto* PB1 = Control<QProgressBar>("PB1");
    const QImage Empty = PB1->grab().toImage();
    QTest::mouseClick(Control<QPushButton>("BtnStart"), Qt::LeftButton);

    QCOMPARE(Messages.size(), Fails ? 1 : 0);
    QCOMPARE(PB1->maximum(), 0);
    QCOMPARE(PB1->value(), 0);
    QCOMPARE(PB1->grab().toImage(), Empty);  // not Qt's busy animation
    const QString Text = ControlText(Control<QStatusBar>("StatusBar1"));
    QVERIFY2(QRegularExpression("^Exemple d'utilisation de Kestrum\\. " + Status + "$").match(Text).hasMatch(),
             qPrintable(Text));
  }

  void textThatIsNotAnIntegerStopsBeforeTheRun_data() {
    QTest::addColumn<QString>("Debut");
    QTest::addColumn<QString>("Fin");
    QTest::addColumn<QString>("Message");
    QTest::addColumn<int>("StartPos");  // previously 3

    QTest::newRow("letters as first sample") << "abc"
                                             << "5"
                                             << "'abc' is not a valid integer value" << 3;
    QTest::newRow("letters as count, first sample kept") << "7"
                                                         << "abc"
                                                         << "'abc' is not a valid integer value" << 7;
    QTest::newRow("a blank before the count") << "7"
                                              << " 5"
                                              << "' 5' is not a valid integer value" << 7;
    QTest::newRow("an empty count") << "7"
                                    << ""
                                    << "'' is not a valid integer value" << 7;
    QTest::newRow("a sign alone") << "-"
                                  << "5"
                                  << "'-' is not a valid integer value" << 3;
    QTest::newRow("first sample just past 32 bits") << "2147483648"
                                                    << "0"
                                                    << "'2147483648' is not a valid integer value" << 3;
    QTest::newRow("count just below 32 bits") << "0"
                                              << "-2147483649"
                                              << "'-2147483649' is not a valid integer value" << 0;
  }

  void textThatIsNotAnIntegerStopsBeforeTheRun() {
    QFETCH(QString, Debut);
    QFETCH(QString, Fin);
    QFETCH(QString, Message);
    QFETCH(int, StartPos);

    Dlg->Kestrum1->SetStartPos(3);
    Dlg->Kestrum1->SetEndPos(9);
    SetEdits(" sourc\xC3\xA9.wav", "cible.wav", "f.fir", Debut, Fin);
    try {
      Dlg->BtnStartClick(nullptr);
      QFAIL("no conversion error");
    } catch (const EConvertError& E) {
      QCOMPARE(QString::fromUtf8(E.what()), Message);
    }
    QCOMPARE(Dlg->Kestrum1->SourceFile, std::string(" sourc\xC3\xA9.wav"));  // as typed, in UTF-8
    QCOMPARE(Dlg->Kestrum1->CibleFile, std::string("cible.wav"));
    QCOMPARE(Dlg->Kestrum1->FirFile, std::string("f.fir"));
    QCOMPARE(Dlg->Kestrum1->StartPos(), StartPos);
    QCOMPARE(Dlg->Kestrum1->EndPos(), 9);
    QCOMPARE(Control<QProgressBar>("PB1")->maximum(), 100);  // every run ends by setting it to 0
  }

  void negativePositionsKeepThePreviousValues_data() {
    QTest::addColumn<QString>("Debut");
    QTest::addColumn<QString>("Fin");
    QTest::addColumn<int>("StartPos");  // previously 5
    QTest::addColumn<int>("EndPos");    // previously 9

    QTest::newRow("plain values") << "10"
                                  << "20" << 10 << 30;
    QTest::newRow("signs on both") << "+12"
                                   << "-0" << 12 << 12;
    QTest::newRow("negative first sample: the end counts from the previous start") << "-3"
                                                                                   << "20" << 5 << 25;
    QTest::newRow("count bringing the end below zero") << "2"
                                                       << "-10" << 2 << 9;
    QTest::newRow("count bringing the end to exactly zero") << "5"
                                                            << "-5" << 5 << 0;
    QTest::newRow("count wrapping past the largest integer") << "1"
                                                             << "2147483647" << 1 << 9;
    QTest::newRow("largest first sample") << "2147483647"
                                          << "0" << 2147483647 << 2147483647;
  }

  void negativePositionsKeepThePreviousValues() {
    QFETCH(QString, Debut);
    QFETCH(QString, Fin);
    QFETCH(int, StartPos);
    QFETCH(int, EndPos);

    Dlg->Kestrum1->SetStartPos(5);
    Dlg->Kestrum1->SetEndPos(9);
    TScratchDir Dir;
    SetEdits(Dir / "missing.wav", Dir / "cible.wav", "f.fir", Debut, Fin);
    QVERIFY_THROWS_EXCEPTION(EInOutError, Dlg->BtnStartClick(nullptr));  // the run starts, and fails
    QCOMPARE(Dlg->Kestrum1->StartPos(), StartPos);
    QCOMPARE(Dlg->Kestrum1->EndPos(), EndPos);
  }

  void fileDialogsFillTheirEditOnlyWhenConfirmed_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Edit");
    QTest::addColumn<QString>("Dialog");
    QTest::addColumn<QString>("Answer");  // empty: cancelled
    QTest::addColumn<QString>("Expected");

    const QString Source = "OpenDlgSource open *.wav 'Fichiers Wav (*.wav)' in '" + QDir::homePath() + "'";
    const QString Cible = "SaveDlgCible save *.wav 'Fichiers Wav (*.wav)' in '" + QDir::homePath() + "'";
    const QString Filtre = "OpenDlgFiltre open *.fir 'Fichiers filtre FIR (*.fir);;Réponses impulsionnelles (*.wav)' in ''";
    QTest::newRow("source chosen") << "BtnSource"
                                   << "EditSource" << Source << "/d/in.wav"
                                   << "/d/in.wav";
    QTest::newRow("source cancelled") << "BtnSource"
                                      << "EditSource" << Source << ""
                                      << "before";
    QTest::newRow("target chosen") << "BtnCible"
                                   << "EditCible" << Cible << "/d/out.wav"
                                   << "/d/out.wav";
    QTest::newRow("target cancelled") << "BtnCible"
                                      << "EditCible" << Cible << ""
                                      << "before";
    QTest::newRow("filter chosen") << "BtnFiltre"
                                   << "EditFiltre" << Filtre << "/d/f.fir"
                                   << "/d/f.fir";
    QTest::newRow("filter cancelled") << "BtnFiltre"
                                      << "EditFiltre" << Filtre << ""
                                      << "before";
  }

  void fileDialogsFillTheirEditOnlyWhenConfirmed() {
    QFETCH(QString, Button);
    QFETCH(QString, Edit);
    QFETCH(QString, Dialog);
    QFETCH(QString, Answer);
    QFETCH(QString, Expected);

    QStringList Shown;
    Dlg->ExecuteFileDialog = [&](const TFileDialogOptions& Options) {
      Shown << Describe(Options);
      return Answer;
    };
    Control<QLineEdit>(Edit)->setText("before");
    QTest::mouseClick(Control<QPushButton>(Button), Qt::LeftButton);
    QCOMPARE(Shown, QStringList{Dialog});
    QCOMPARE(Control<QLineEdit>(Edit)->text(), Expected);
  }

  void closeButtonClosesTheDialog() {
    Dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(Dlg.get()));
    QSignalSpy Finished(Dlg.get(), &QDialog::finished);
    QTest::mouseClick(Control<QDialogButtonBox>("BitBtn1")->button(QDialogButtonBox::Close), Qt::LeftButton);
    QCOMPARE(Finished.size(), 1);
    QVERIFY(!Dlg->isVisible());
  }
};

QTEST_MAIN(DlgEssaiKestrumTest)
#include "DlgEssaiKestrum_test.moc"
