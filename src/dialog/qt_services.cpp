#include "dialog/qt_services.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>
#include <condition_variable>
#include <cstdlib>

#include "platform/clock.h"

namespace qb::dialog {

namespace {

// The plug-in writes line breaks as carriage returns; Qt shows only line feeds.
QString Text(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace("\r\n", "\n");
  s.replace('\r', '\n');
  return s;
}

QString Title(const std::string& title) {
  return title.empty() ? QStringLiteral("Quellbrook 1-Wire Interface") : Text(title);
}

}  // namespace

struct QtEventLoop::Waiter {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  bool ran = false;
};

QtEventLoop::QtEventLoop() : loop_thread_(std::this_thread::get_id()) {}

// The loop runs no more: every thread waiting in Invoke is released (Invoke then answers false).
void QtEventLoop::StopWaiters() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  for (const auto& w : waiters_) {
    std::lock_guard wl(w->mutex);
    w->done = true;
    w->done_cv.notify_all();
  }
}

QtEventLoop::~QtEventLoop() {
  for (auto& [id, t] : timers_) delete t->timer;
  StopWaiters();
}

TimerId QtEventLoop::AddTimer(std::chrono::milliseconds interval, std::function<void()> tick) {
  const TimerId id = next_timer_++;
  auto t = std::make_unique<Timer>();
  t->timer = new QTimer();
  t->timer->setInterval(static_cast<int>(interval.count()));
  t->tick = std::move(tick);
  QObject::connect(t->timer, &QTimer::timeout, [this, id] { Fire(id); });
  timers_[id] = std::move(t);
  return id;
}

void QtEventLoop::Fire(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end() || it->second->running) return;  // never re-enter a tick
  // The tick may change the timer table (a tick that adds timers): look the timer up again after.
  it->second->running = true;
  auto tick = it->second->tick;
  tick();
  if (auto again = timers_.find(id); again != timers_.end()) again->second->running = false;
}

void QtEventLoop::SetTimerEnabled(TimerId id, bool enabled) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (enabled && !it->second->timer->isActive()) it->second->timer->start();
  if (!enabled) it->second->timer->stop();
}

bool QtEventLoop::TimerEnabled(TimerId id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->timer->isActive();
}

void QtEventLoop::SetTimerInterval(TimerId id, std::chrono::milliseconds interval) {
  auto it = timers_.find(id);
  if (it != timers_.end()) it->second->timer->setInterval(static_cast<int>(interval.count()));
}

void QtEventLoop::DoEvents() {
  const auto start = std::chrono::steady_clock::now();
  const auto nested_before = time_in_do_events_;
  ++do_events_depth_;
  QCoreApplication::processEvents();
  --do_events_depth_;
  // Count the outermost pause only once: nested pauses are inside its own time.
  const auto spent = std::chrono::steady_clock::now() - start;
  time_in_do_events_ = nested_before + std::chrono::duration_cast<std::chrono::nanoseconds>(spent);
}

void QtEventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

bool QtEventLoop::Invoke(std::function<void()> task) {
  if (std::this_thread::get_id() == loop_thread_) {
    task();
    return true;
  }
  auto waiter = std::make_shared<Waiter>();
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    waiters_.insert(waiter);
  }
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [task = std::move(task), waiter] {
        task();
        std::lock_guard wl(waiter->mutex);
        waiter->ran = true;
        waiter->done = true;
        waiter->done_cv.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock wl(waiter->mutex);
  waiter->done_cv.wait(wl, [&] { return waiter->done; });
  const bool ran = waiter->ran;
  wl.unlock();
  std::lock_guard lock(mutex_);
  waiters_.erase(waiter);
  return ran;
}

void QtEventLoop::Run() {
  loop_thread_ = std::this_thread::get_id();
  QApplication::exec();
  StopWaiters();
}

void QtEventLoop::Quit() {
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                            Qt::QueuedConnection);
}

void QtUserInterface::MessageBox(const std::string& text, MessageIcon icon,
                                 const std::string& title) {
  QMessageBox box(icon == MessageIcon::Critical      ? QMessageBox::Critical
                  : icon == MessageIcon::Exclamation ? QMessageBox::Warning
                  : icon == MessageIcon::Information ? QMessageBox::Information
                                                     : QMessageBox::NoIcon,
                  Title(title), Text(text), QMessageBox::Ok);
  box.exec();
}

bool QtUserInterface::Ask(const Question& question) {
  return QMessageBox::question(nullptr, Title(question.title), Text(question.text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

std::string QtUserInterface::InputBox(const std::string& prompt, const std::string& fallback) {
  bool ok = false;
  const QString answer = QInputDialog::getText(nullptr, Title({}), Text(prompt), QLineEdit::Normal,
                                               QString::fromStdString(fallback), &ok);
  // Cancel answers an empty text, as an input box always did.
  return ok ? answer.toStdString() : std::string();
}

void QtUserInterface::Beep() {
  QApplication::beep();
}

void QtUserInterface::Sleep(std::chrono::milliseconds duration) {
  clock_.Sleep(duration);
}

bool DisplayAvailable() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

}  // namespace qb::dialog

#include "dialog/setup_dialog.h"

namespace qb::dialog {

DesktopSession::DesktopSession(Clock& clock) {
  app_ = std::make_unique<QApplication>(argc_, argv_);
  // The plug-in keeps running when the Setup dialog closes.
  QApplication::setQuitOnLastWindowClosed(false);
  loop_ = std::make_unique<QtEventLoop>();
  ui_ = std::make_unique<QtUserInterface>(clock);
  dialog_ = std::make_shared<SetupWindow>();
}

DesktopSession::~DesktopSession() {
  dialog_.reset();
  loop_.reset();
  ui_.reset();
  app_.reset();
}

std::unique_ptr<DesktopSession> OpenDesktop(Clock& clock) {
  if (!DisplayAvailable()) return nullptr;
  return std::make_unique<DesktopSession>(clock);
}

}  // namespace qb::dialog
