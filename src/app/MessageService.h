#pragma once
#include <string>

namespace quenza {

// Shows a message with a single OK button. The GUI shows a message box, the command
// line prints it, tests record it.
class TMessageService {
 public:
  virtual ~TMessageService() = default;
  virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
};

}  // namespace quenza

namespace quenza {

// Asks a question with Yes and No buttons (question icon). The GUI shows a message
// box, the command line answers on its own and prints what it chose, tests record.
class TQuestionService {
 public:
  virtual ~TQuestionService() = default;
  virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;
};

}  // namespace quenza
