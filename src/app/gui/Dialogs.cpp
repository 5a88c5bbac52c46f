#include "app/gui/Dialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QPushButton>

#include "app/VornikTexts.h"

namespace vornik::gui {

namespace {

QString BoxTitle() { return QApplication::applicationDisplayName(); }

}  // namespace

QString QtFileFilter(const QString& PipeFilter) {
  const QStringList parts = PipeFilter.split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i < parts.size(); i += 2) out << parts[i];
  return out.join(QStringLiteral(";;"));
}

QMessageBox::StandardButton TQtDialogs::Question(QWidget* Parent, const QString& Text) {
  QMessageBox box(QMessageBox::Question, BoxTitle(), Text, QMessageBox::Yes | QMessageBox::No, Parent);
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  const int r = box.exec();
  return r == QMessageBox::Yes || r == QMessageBox::No ? static_cast<QMessageBox::StandardButton>(r)
                                                        : QMessageBox::NoButton;
}

void TQtDialogs::Message(QWidget* Parent, const QString& Text) {
  QMessageBox box(QMessageBox::Information, BoxTitle(), Text, QMessageBox::Ok, Parent);
  box.exec();
}

void TQtDialogs::ErrorReport(QWidget* Parent, const QString& Text, const QString& Report) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(texts::kErrorBoxTitle), Text, QMessageBox::Ok, Parent);
  box.setDetailedText(Report);
  // The copy button would close the box like any other; keep it open after copying.
  QPushButton* copy = box.addButton(QString::fromUtf8(texts::kCopyReport), QMessageBox::ActionRole);
  copy->disconnect();
  QObject::connect(copy, &QPushButton::clicked, &box, [Report] { QApplication::clipboard()->setText(Report); });
  box.exec();
}

QString TQtDialogs::OpenFile(QWidget* Parent, const QString& Title, const QString& Start, const QString& Filter,
                             const QString& SelectedFilter) {
  QString selected = SelectedFilter;
  return QFileDialog::getOpenFileName(Parent, Title, Start, QtFileFilter(Filter), &selected,
                                      QFileDialog::DontUseNativeDialog);
}

QStringList TQtDialogs::OpenFiles(QWidget* Parent, const QString& Title, const QString& Start, const QString& Filter) {
  return QFileDialog::getOpenFileNames(Parent, Title, Start, QtFileFilter(Filter), nullptr,
                                       QFileDialog::DontUseNativeDialog);
}

QString TQtDialogs::SaveFile(QWidget* Parent, const QString& Title, const QString& Start) {
  return QFileDialog::getSaveFileName(Parent, Title, Start, QString(), nullptr,
                                      QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
}

}  // namespace vornik::gui
