#include "foundation/wizard/signin_checker.h"

#include <mutex>

#include "foundation/rest/rest_request.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/wizard/wizard_rules.h"

namespace quol::wizard {
namespace {
std::atomic<int> g_left_behind{0};
}

struct SignInChecker::Check {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  bool done = false;
  bool abandoned = false;
  int result = kSignInNotChecked;
  std::function<void()> notify;
};

SignInChecker::SignInChecker(Ask ask) : ask_(std::move(ask)), result_(kSignInNotChecked) {}

SignInChecker::~SignInChecker() { Abandon(); }

bool SignInChecker::Start(const std::string& address, const std::string& password,
                          std::function<void()> notify) {
  Abandon();
  result_ = kSignInNotChecked;
  if (std::optional<int> local = LocalSignInVerdict(address, password)) {
    result_ = *local;
    return false;
  }
  auto check = std::make_shared<Check>();
  check->notify = std::move(notify);
  check_ = check;
  worker_ = std::thread([check, ask = ask_, address, password] {
    const int answer = ask(address, password, check->stop);
    std::function<void()> notify_now;
    {
      std::lock_guard lock(check->mutex);
      check->result = answer;
      check->done = true;
      if (check->abandoned) {
        g_left_behind.fetch_sub(1);
        return;
      }
      notify_now = check->notify;
    }
    // Outside the lock: the page only posts itself a task here.
    if (notify_now) notify_now();
  });
  return true;
}

bool SignInChecker::running() const {
  if (!check_) return false;
  std::lock_guard lock(check_->mutex);
  return !check_->done;
}

int SignInChecker::result() {
  if (check_) {
    bool done = false;
    {
      std::lock_guard lock(check_->mutex);
      done = check_->done;
      if (done) result_ = check_->result;
    }
    if (!done) return kSignInNotChecked;
    if (worker_.joinable()) worker_.join();  // it has handed over its result
  }
  return result_;
}

void SignInChecker::Abandon() {
  if (!check_) return;
  bool done = false;
  {
    std::lock_guard lock(check_->mutex);
    done = check_->done;
    if (!done) {
      check_->abandoned = true;
      check_->notify = nullptr;
      check_->stop = true;
      g_left_behind.fetch_add(1);
    }
  }
  if (worker_.joinable()) {
    if (done) {
      worker_.join();
    } else {
      // Holds only the shared check and its own copies; it ends soon after
      // the stop flag (the HTTP layer's time-outs bound it in any case).
      worker_.detach();
    }
  }
  check_.reset();
}

int SignInChecker::WorkersLeftBehind() { return g_left_behind.load(); }

int AskSignInService(const std::string& auth_service_url, const std::string& address,
                     const std::string& password, const std::atomic<bool>& stop) {
  CRestRequest request(auth_service_url);
  request.SetStopFlag(&stop);
  CSuiteSettings scratch;  // receives the account id; never loaded or saved
  const HRESULT hr = SignIn(request, address, password, true, scratch);
  if (Succeeded(hr)) return kSignInAccepted;
  if (hr == E_REST_SIGNIN_REFUSED || hr == E_INVALIDARG) return kSignInRejected;
  return kSignInError;
}

}  // namespace quol::wizard
