// A RunConsole for engine tests: records every line, box, question and the
// completion notice in the order they came, answers questions from a script,
// and can act when a given line is shown (set the cancel event, kill the
// server), so that a test can reach any point of a run deterministically.
//
// The worker thread calls every member but RunModal; the test thread calls
// RunModal (through StartTransfer) and reads the records after the run.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/run_console.h"

namespace velmorix::testing {

class ScriptedConsole : public RunConsole {
 public:
  // What happened, in order: "line: ...", "error: ...", "ask: ...",
  // "certificate: ...", "change: ...", "done: N".
  std::vector<std::string> events;
  std::vector<std::string> lines;
  std::vector<std::string> errors;   // box texts; a failure's message only
  std::vector<std::string> boxes;    // box texts as shown, a failure's cause and hint too
  std::vector<RunFailure> failures;  // ShowFailure's, whole
  std::vector<std::string> questions;
  int runModalCalls = 0;
  CompletionCode doneCode = CompletionCode::kRunning;
  int doneCalls = 0;

  std::vector<CertificateInfo> certificates;  // asked about with TrustCertificate
  std::vector<std::string> massDeletionQuestions;
  std::vector<std::string> hostKeyQuestions;  // asked with TrustHostKey, answered as certificates
  // The answer to ConfirmMassDeletion: yes, as the small sites of most
  // tests are mostly deleted on purpose; the guard's own tests say no.
  bool allowMassDeletion = true;
  std::vector<std::string> changes;  // a dry run's ShowChange lines
  std::vector<std::string> summaries;
  const RunProgress* progress = nullptr;  // given by WatchProgress

  // Answers to Ask, in order; Cancel (the safe answer) when none is left.
  void QueueAnswer(Answer answer) { answers_.push_back(answer); }
  // The answer to every certificate question; No unless set.
  void TrustCertificates(bool trust) { trustCertificates_ = trust; }

  // Runs `action` on the worker thread right after the `occurrence`-th line
  // (1-based) that begins with `prefix` has been shown.
  void OnLine(std::string prefix, std::function<void()> action, int occurrence = 1) {
    triggers_.push_back({std::move(prefix), std::move(action), occurrence});
  }
  // Sets `cancelEvent` as the Cancel button would, when that line is shown.
  void CancelOnLine(std::string prefix, CancelEvent& cancelEvent, int occurrence = 1) {
    OnLine(
        std::move(prefix), [&cancelEvent] { cancelEvent.Set(); }, occurrence);
  }

  void ShowLine(const std::string& line) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events.push_back("line: " + line);
      lines.push_back(line);
    }
    for (Trigger& trigger : triggers_) {
      if (trigger.remaining > 0 && std::string_view(line).starts_with(trigger.prefix) &&
          --trigger.remaining == 0) {
        trigger.action();
      }
    }
  }

  void ShowError(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("error: " + text);
    errors.push_back(text);
    boxes.push_back(text);
  }

  void ShowFailure(const RunFailure& failure) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("error: " + failure.message);
    errors.push_back(failure.message);
    boxes.push_back(FailureText(failure));
    failures.push_back(failure);
  }

  Answer Ask(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("ask: " + text);
    questions.push_back(text);
    if (answers_.empty())
      return Answer::kCancel;
    const Answer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  bool TrustCertificate(const CertificateInfo& certificate, const std::string& question) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("certificate: " + question);
    certificates.push_back(certificate);
    return trustCertificates_;
  }

  bool TrustHostKey(const std::string&, const std::string& question) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("host key: " + question);
    hostKeyQuestions.push_back(question);
    return trustCertificates_;
  }

  bool ConfirmMassDeletion(const std::string& question, int64_t deletions) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("mass deletion: " + std::to_string(deletions));
    massDeletionQuestions.push_back(question);
    return allowMassDeletion;
  }

  void JobDone(CompletionCode code) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("done: " + std::to_string(static_cast<int>(code)));
    doneCode = code;
    ++doneCalls;
    done_.notify_all();
  }

  void ShowChange(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("change: " + line);
    changes.push_back(line);
  }

  // Kept apart from `events`: the summary is shown beside the run's last
  // line, not after it.
  void ShowSummary(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    summaries.push_back(line);
  }

  void WatchProgress(const RunProgress& watched) override { progress = &watched; }

  void RunModal() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++runModalCalls;
    done_.wait(lock, [this] { return doneCalls > 0; });
  }

  // Lines that begin with `prefix`, in order.
  std::vector<std::string> LinesStartingWith(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
      if (std::string_view(line).starts_with(prefix))
        found.push_back(line);
    }
    return found;
  }
  bool Showed(std::string_view line) const {
    for (const std::string& shown : lines) {
      if (shown == line)
        return true;
    }
    return false;
  }
  std::string LastLine() const { return lines.empty() ? std::string() : lines.back(); }

 private:
  struct Trigger {
    std::string prefix;
    std::function<void()> action;
    int remaining;
  };
  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<Answer> answers_;
  bool trustCertificates_ = false;
  std::vector<Trigger> triggers_;
};

}  // namespace velmorix::testing
