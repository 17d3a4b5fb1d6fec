#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace qb {

class Clock;

enum class MessageIcon { None, Information, Exclamation, Critical };

// A yes/no question the plug-in asks a person. `id` names the question for the headless policy;
// `headless_answer` is what a machine without a desktop answers unless the policy says otherwise.
struct Question {
  std::string id;
  std::string text;
  std::string title;
  bool headless_answer = false;
};

// Message boxes, questions, input boxes, the beep and the millisecond sleep. The desktop build
// shows real dialogs; the headless service writes log lines and answers by a stated policy, so a
// server without a display never blocks.
class UserInterface {
 public:
  virtual ~UserInterface() = default;
  virtual void MessageBox(const std::string& text, MessageIcon icon,
                          const std::string& title = {}) = 0;
  virtual bool Ask(const Question& question) = 0;
  // Whether Ask answers without waiting for a person. A question a person must answer is not
  // asked in the middle of a bus operation: it would hold the bus until answered.
  virtual bool AnswersAtOnce() const { return false; }
  // Returns the typed text; `fallback` when nobody can answer.
  virtual std::string InputBox(const std::string& prompt, const std::string& fallback) = 0;
  virtual void Beep() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// Writes every message as a log line and answers questions without asking.
class HeadlessUserInterface : public UserInterface {
 public:
  using LogSink = std::function<void(const std::string& category, const std::string& text)>;
  HeadlessUserInterface(Clock& clock, LogSink log);

  // Overrides the answer of one question id (from configuration or a test).
  void SetAnswer(const std::string& id, bool answer) { answers_[id] = answer; }

  void MessageBox(const std::string& text, MessageIcon icon,
                  const std::string& title = {}) override;
  bool Ask(const Question& question) override;
  bool AnswersAtOnce() const override { return true; }
  std::string InputBox(const std::string& prompt, const std::string& fallback) override;
  void Beep() override;
  void Sleep(std::chrono::milliseconds duration) override;

 private:
  Clock& clock_;
  LogSink log_;
  std::map<std::string, bool> answers_;
};

}  // namespace qb
