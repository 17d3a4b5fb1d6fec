#include "platform/user_interface.h"

#include <unistd.h>

#include <cstdio>

#include "platform/clock.h"

namespace qb {

namespace {
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}
}  // namespace

HeadlessUserInterface::HeadlessUserInterface(Clock& clock, LogSink log)
    : clock_(clock), log_(std::move(log)) {}

void HeadlessUserInterface::MessageBox(const std::string& text, MessageIcon icon,
                                       const std::string& title) {
  const char* kind = icon == MessageIcon::Critical      ? "Message (critical)"
                     : icon == MessageIcon::Exclamation ? "Message (warning)"
                                                        : "Message";
  if (log_) log_(kind, (title.empty() ? "" : title + ": ") + OneLine(text));
}

bool HeadlessUserInterface::Ask(const Question& question) {
  auto it = answers_.find(question.id);
  const bool answer = it != answers_.end() ? it->second : question.headless_answer;
  if (log_)
    log_("Question", OneLine(question.text) + " -> answered " + (answer ? "Yes" : "No") +
                         " (no desktop; question " + question.id + ")");
  return answer;
}

std::string HeadlessUserInterface::InputBox(const std::string& prompt,
                                            const std::string& fallback) {
  if (log_) log_("Question", OneLine(prompt) + " -> answered \"" + fallback + "\" (no desktop)");
  return fallback;
}

void HeadlessUserInterface::Beep() {
  // On a terminal the bell rings as well; a service's log gets the line only.
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  if (terminal) {
    std::fputs("\a", stdout);
    std::fflush(stdout);
  }
  if (log_)
    log_("Beep",
         terminal ? "(beep: bell rung on the terminal)" : "(beep: no desktop to sound it on)");
}

void HeadlessUserInterface::Sleep(std::chrono::milliseconds duration) {
  clock_.Sleep(duration);
}

}  // namespace qb
