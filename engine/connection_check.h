// The connection test: what a run does with a destination's server before
// its first change, one step at a time, each step ending in a line that
// says ok, or what failed (with the server's reply) and what to change. It
// connects, negotiates TLS as the destination says (asking about a
// certificate as a run does), logs in, enters the remote folder, lists it
// in both data connection modes, reads what the server offers, tells how
// names are written and opens as many connections as a run may. It writes
// no log, and nothing to the server but, with 時刻の補正 自動 on a server
// that lists with LIST, one small file that tells the server's clock and
// that it deletes again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/run_console.h"
#include "engine/transfer_run.h"

namespace velmorix {

// How one step of the test ended.
enum class TestVerdict {
  kOk,
  // A run works, but the line says something to know or to change (a
  // setting that would serve better, or what 自動 learned).
  kNote,
  kFailed,  // a run would fail here; the test ends with this step
};

struct TestStep {
  std::string name;  // "login", "list (passive)", ...
  TestVerdict verdict = TestVerdict::kOk;
  std::string text;  // "ok", "ok, 12 entries", or the failure and what to change
};

// Whether a step of that name reaches, trusts and logs in to the server
// (resolve, connect, TLS, login): one failing there could not connect.
bool IsConnectingStep(std::string_view name);

// The step's line: "login: 530 Login incorrect: check the login name and password".
std::string TestStepLine(const TestStep& step);

struct ConnectionTestReport {
  std::vector<TestStep> steps;  // in the order they ran
  // kCompleted when a run would work, kFailed when a step failed,
  // kCanceled when the user canceled the test.
  CompletionCode completion = CompletionCode::kFailed;
};

// Starting thread: tests request.profile on a worker thread while the
// console is modal, as StartListing runs a listing. Each step's line goes
// to the console's ShowLine when the step has ended; a certificate is asked
// about through its TrustCertificate. request.learned receives what the
// test learned about the server, as a run's would (an accepted certificate,
// TLS, the names' encoding, whether passive data connections work);
// request.logPath, mode and maxDelete are not used. Data connections are
// awaited at most as long as a passive connect (FtpTimeouts).
ConnectionTestReport StartConnectionTest(const RunRequest& request);

}  // namespace velmorix
