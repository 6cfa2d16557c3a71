// The sign-in page's background check of a changed address and password.
//
// The window thread starts a check and never waits for it: the worker gets
// its own copies of the address and password, writes only the check's
// shared result, and calls the `notify` it was given (on the worker) so the
// page can post itself a wake-up. A check nobody waits for any more (a new
// check, Cancel, the sheet closing) is abandoned: told to stop, its answer
// dropped, and the worker ends by itself holding only shared state.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quol::wizard {

class SignInChecker {
 public:
  // The service's verdict on the worker thread: kSignInAccepted,
  // kSignInRejected or kSignInError. Should end soon after `stop` is set.
  using Ask = std::function<int(const std::string& address, const std::string& password,
                                const std::atomic<bool>& stop)>;

  explicit SignInChecker(Ask ask);
  ~SignInChecker();  // abandons a running check
  SignInChecker(const SignInChecker&) = delete;
  SignInChecker& operator=(const SignInChecker&) = delete;

  // Window thread. Abandons a check still running, then decides locally
  // (LocalSignInVerdict) or starts a worker that asks the service. Returns
  // true when a worker was started; `notify` is then called on the worker
  // once its result is in.
  bool Start(const std::string& address, const std::string& password,
             std::function<void()> notify);
  // Whether the last check started is still waiting for the service.
  bool running() const;
  // The last check's result (kSignInNotChecked before any, and while one
  // runs). Joins a finished worker.
  int result();
  // Stops waiting for a running check (see above).
  void Abandon();

  // Workers abandoned while running that have not ended yet; a program
  // ending with some left must not destroy what they use (it ends with
  // _exit, as the screen saver does for its other workers).
  static int WorkersLeftBehind();

 private:
  struct Check;
  Ask ask_;
  std::shared_ptr<Check> check_;
  std::thread worker_;
  int result_;
};

// Asks the service's sign-in call (a forced sign-in against
// `auth_service_url`, with a stop flag): accepted, refused (or unusable
// input) as rejected, anything else as an error. The account id the service
// answers with is dropped: the page stores only what the user typed.
int AskSignInService(const std::string& auth_service_url, const std::string& address,
                     const std::string& password, const std::atomic<bool>& stop);

}  // namespace quol::wizard
