#include "app/gui/WindowSupport.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QSysInfo>
#include <QWidget>

namespace vornik::gui {

QLabel* BuddyLabel(const char* Caption, QWidget* Field, QWidget* Parent, bool WordWrap) {
  auto* l = new QLabel(U(Caption), Parent);
  l->setBuddy(Field);
  l->setWordWrap(WordWrap);
  return l;
}

bool TVornikApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& e) {
    if (OnUncaughtError) OnUncaughtError(e.what());
  } catch (...) {
    if (OnUncaughtError) OnUncaughtError("unknown error");
  }
  return false;
}

QString HintText(const char* Hint) {
  QString t = QString::fromUtf8(Hint);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  while (t.endsWith(QLatin1Char('\n'))) t.chop(1);
  return t;
}

bool ReadCheckBoxText(const std::string& Text, bool& Value) {
  const QString t = QString::fromStdString(Text).trimmed().toUpper();
  if (t == QLatin1String("TRUE") || t == QLatin1String("YES") || t == QLatin1String("Y")) {
    Value = true;
    return true;
  }
  if (t == QLatin1String("FALSE") || t == QLatin1String("NO") || t == QLatin1String("N")) {
    Value = false;
    return true;
  }
  return false;
}

QString ErrorReportText(const QString& Message, const QString& Caption) {
  return QStringLiteral("%1\nTime: %2\nSystem: %3 (%4)\nQt: %5\nError: %6\n")
      .arg(Caption, QDateTime::currentDateTime().toString(Qt::ISODateWithMs), QSysInfo::prettyProductName(),
           QSysInfo::currentCpuArchitecture(), QString::fromLatin1(qVersion()), Message);
}

namespace {

class TEnterClicks final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(Event);
      if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
        auto* button = qobject_cast<QAbstractButton*>(Watched);
        if (button != nullptr && button->isEnabled()) {
          button->animateClick();
          return true;
        }
      }
    }
    return false;
  }
};

class TDoubleClicks final : public QObject {
 public:
  TDoubleClicks(QObject* Parent, std::function<void()> Fn) : QObject(Parent), FFn(std::move(Fn)) {}
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
      FFn();
      return true;
    }
    return false;
  }

 private:
  std::function<void()> FFn;
};

}  // namespace

void OnDoubleClick(QWidget* Target, std::function<void()> Fn) {
  Target->installEventFilter(new TDoubleClicks(Target, std::move(Fn)));
}

void InstallEnterClicksButtons(QWidget* Root) {
  auto* filter = new TEnterClicks(Root);
  for (QAbstractButton* b : Root->findChildren<QAbstractButton*>()) b->installEventFilter(filter);
}

}  // namespace vornik::gui
