#include "foundation/update/update_checker.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <optional>
#include <thread>

#include "foundation/config/global_config.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/testing/log_capture.h"
#include "platform/clock/clock.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/mutex/named_mutex.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"
#include "platform/trust/minisign.h"
#include "service/devservice.h"

namespace quol {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::WriteFileOrDie;
using namespace std::chrono_literals;

struct Message {
  unsigned number = 0;
  std::uint16_t result = 0;
  std::uint16_t flag = 0;
  bool operator==(const Message&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
  return out << "(0x" << std::hex << m.number << std::dec << ": " << m.result << ", " << m.flag
             << ")";
}

Message Msg(std::uint16_t result, std::uint16_t flag) {
  return {kUpdateCheckMessage, result, flag};
}

// The owner's loop, run on the test thread: posted tasks queue up and run
// only when the test asks for the next message.
class TestLoop {
 public:
  UpdateCheckWindow Window() {
    UpdateCheckWindow window;
    window.post = [this](std::function<void()> task) {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
      ready_.notify_all();
    };
    window.on_message = [this](unsigned number, std::uint16_t result, std::uint16_t flag) {
      if (std::this_thread::get_id() != owner_) off_thread_ = true;
      seen_.push_back({number, result, flag});
    };
    return window;
  }

  // Runs posted tasks until one message was handled; nothing after 60 s
  // (where a hung check would otherwise keep the test for ever).
  std::optional<Message> Next() {
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (seen_.empty()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_until(lock, give_up, [this] { return !tasks_.empty(); })) break;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    if (seen_.empty()) return std::nullopt;
    Message first = seen_.front();
    seen_.pop_front();
    return first;
  }

  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  bool off_thread() const { return off_thread_; }

 private:
  std::thread::id owner_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  std::deque<Message> seen_;
  bool off_thread_ = false;
};

platform::TimePoint Utc(int year, int month, int day, int hour) {
  platform::CalendarTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  return platform::FromUtcTime(t);
}

constexpr char kRunning[] = "1.0.5.0";

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The stand-in service on loopback as the update service (local client
// mode, LocalConfig.xml pointing at it), its signing key trusted, and a
// clock the test sets.
class UpdateCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockForTesting(&clock_);
    service::DevServiceOptions options;
    options.db_path = env_.root() + "/service.sqlite";
    options.api_port = 0;
    options.web_port = 0;
    options.latest_version = "2.0.0.0";
    std::string error;
    service_ = service::DevService::Create(options, &error);
    ASSERT_TRUE(service_) << error;
    service_->SetLogSink([](const std::string&) {});
    ASSERT_TRUE(service_->Start(&error)) << error;
    WriteFileOrDie(env_.root() + "/service.pub", service_->public_key_text());
    trust_key_.emplace(platform::kTestTrustKeyVariable, env_.root() + "/service.pub");
    WriteFileOrDie(env_.data_dir() + "/LocalConfig.xml",
                   "<quol><default><updateServiceUrl>" + ConfigUrl() +
                       "</updateServiceUrl><fallBackUpdateServiceUrl>" + ConfigUrl() +
                       "</fallBackUpdateServiceUrl></default></quol>");
    ASSERT_EQ(settings_.Load(), S_OK);
    config_ = std::make_unique<CGlobalConfig>(module_, settings_);
    ASSERT_EQ(config_->Load(), S_OK);
    NewChecker();
  }
  void TearDown() override {
    checker_.reset();
    platform::SetClockForTesting(nullptr);
  }

  void NewChecker() {
    checker_ = std::make_unique<UpdateChecker>(*config_, settings_, kRunning);
  }
  std::string ConfigUrl() const { return service_->api_base() + "/QuolDevuzez/GlobalConfig_v2.xml"; }
  std::string PackageUrl(const std::string& name) const {
    return service_->api_base() + "/packages/" + name;
  }
  std::string Packages() const { return env_.data_dir() + "/Packages"; }
  std::vector<std::string> PackageFiles() const { return testing::ListFolder(Packages()); }

  // Gives the checker the test loop as its window, as a program does at
  // start-up (which deletes every package unless the settings name a newer
  // one that is there).
  void Attach() {
    checker_->CheckForReadyUpgrade(loop_.Window());
    ASSERT_TRUE(loop_.Next().has_value());
  }

  // Starts a check, waits for its message and joins the worker.
  std::optional<Message> RunCheck() {
    EXPECT_TRUE(checker_->StartCheck());
    std::optional<Message> message = loop_.Next();
    checker_->Stop();
    EXPECT_FALSE(loop_.off_thread());
    return message;
  }

  // A package signed by the service, copied into the packages folder as a
  // previous check would have left it.
  void PlantSignedPackage(const std::string& name, const std::string& content) {
    service_->AddPackage(name, content, true);
    for (const std::string& file : {name, name + ".minisig"}) {
      std::string body, error;
      ASSERT_EQ(platform::HttpFetchDocument(PackageUrl(file), &body, &error), S_OK) << error;
      WriteFileOrDie(Packages() + "/" + file, body);
    }
  }

  void ServeConfig(const std::string& defaults) {
    service_->OverrideConfig(200, "<quol><default><updateServiceUrl>" + ConfigUrl() +
                                      "</updateServiceUrl>" + defaults + "</default></quol>");
  }

  testing::IsolatedEnvironment env_;
  ScopedEnv mode_{"DevuzezClientMode", std::string("local")};
  std::optional<ScopedEnv> trust_key_;
  testing::ScopedHttpDefaults fast_{[](platform::HttpDefaults& d) {
    d.total_timeout_ms = 5000;
    d.download_stall_ms = 5000;
  }};
  testing::LogCapture log_;
  platform::FakeClock clock_{Utc(2024, 5, 1, 12)};
  CCobrandableModule module_;
  CSuiteSettings settings_;
  std::unique_ptr<service::DevService> service_;
  std::unique_ptr<CGlobalConfig> config_;
  TestLoop loop_;
  std::unique_ptr<UpdateChecker> checker_;
};

TEST_F(UpdateCheckerTest, NextCheckIsDueAfterTheTtlSinceTheLastOne) {
  const platform::TimePoint now = clock_.Now();
  struct Case {
    const char* name;
    std::optional<platform::TimePoint> last;  // none: never checked
    std::uint32_t expected;
  };
  const std::vector<Case> cases = {
      {"never checked", std::nullopt, 0},
      {"3 hours ago", now - 3h, 75600},
      {"a second ago", now - 1s, 86399},
      {"exactly a period ago", now - 24h, 0},
      {"two days ago", now - 48h, 0},
      // Elapsed wraps to nearly 2^32 seconds, so a check is due at once.
      {"an hour from now (clock set back)", now + 1h, 0},
  };
  for (const Case& c : cases) {
    const std::uint64_t file_time = c.last ? platform::ToFileTime(*c.last) : 0;
    settings_.SetLastUpdateTime(static_cast<std::int32_t>(file_time & 0xFFFFFFFFu),
                                static_cast<std::int32_t>(file_time >> 32));
    NewChecker();
    checker_->CheckForReadyUpgrade({});
    EXPECT_EQ(checker_->SecondsUntilNextCheck(), c.expected) << c.name;
  }
  EXPECT_EQ(UpdateChecker::SecondsSince2008(platform::ToFileTime(Utc(2008, 1, 1, 0))), 0u);
  EXPECT_EQ(UpdateChecker::SecondsSince2008(platform::ToFileTime(Utc(2008, 1, 1, 1))), 3600u);

  // Starting a check makes the next one a full period away.
  EXPECT_TRUE(checker_->StartCheck());
  checker_->Stop();
  EXPECT_EQ(checker_->SecondsUntilNextCheck(),
            static_cast<std::uint32_t>(config_->ttl_minutes()) * 60u);
}

// What one check leaves behind, by what the service offers.
TEST_F(UpdateCheckerTest, CheckOutcomes) {
  const std::string earlier_version = "1.9.0.0";
  const std::uint64_t earlier = platform::ToFileTime(clock_.Now() - 48h);
  const std::uint64_t now = platform::ToFileTime(clock_.Now());
  struct Case {
    const char* name;
    std::function<void()> offer;
    std::string package;  // the package name fetched (or not)
    Message message;
    int state;
    bool last_update_moved;
    std::string available;  // the settings' available version afterwards
    std::vector<std::string> files;
    int package_requests;
  };
  const std::string short_url = "http://a.b/c";  // 12 characters
  ASSERT_EQ(short_url.size(), 12u);
  const std::vector<Case> cases = {
      {"same version, missing parts count as 0",
       [&] { ASSERT_TRUE(service_->SetUpdateOffer("1.0.5", "0.0.0.0", "")); }, "Pkg_1_0_5.deb",
       Msg(0, 0), kCheckUpToDate, true, "", {}, 0},
      {"newer version without a usable URL",
       [&] { ASSERT_TRUE(service_->SetUpdateOffer("1.1", "0.0.0.0", short_url)); }, "Pkg_1_1.deb",
       Msg(0, 0), kCheckChecking, true, "", {}, 0},
      {"configuration not found",
       [&] { service_->OverrideConfig(404, "<html>gone</html>", "text/html"); }, "Pkg_2_0_0_0.deb",
       Msg(2, 0), kCheckFailed, true, "", {}, 0},
      {"package not found (404)",
       [&] { ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.1", "0.0.0.0", "")); }, "Pkg_2_0_0_1.deb",
       Msg(2, 0), kCheckFailed, false, earlier_version, {}, 1},
      {"package without a signature",
       [&] {
         ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.2", "0.0.0.0", ""));
         service_->AddPackage("Pkg_2_0_0_2.deb", "unsigned package", false);
       },
       "Pkg_2_0_0_2.deb", Msg(2, 0), kCheckFailed, false, earlier_version, {}, 1},
      {"package cut off halfway",
       [&] {
         ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.3", "0.0.0.0", ""));
         service_->AddPackage("Pkg_2_0_0_3.deb", std::string(200000, 'c'), true);
         service_->SetPackageCutOff("Pkg_2_0_0_3.deb", true);
       },
       "Pkg_2_0_0_3.deb", Msg(2, 0), kCheckFailed, false, earlier_version, {}, 1},
      // The refreshed document lists the package's host as unsafe.
      {"download URL the policy rejects",
       [&] {
         service_->AddPackage("Pkg_2_0_0_4.deb", "package 4", true);
         ServeConfig("<latestVersion>2.0.0.4</latestVersion><downloadUrl sku=\"\">http://localhost:" +
                     std::to_string(service_->api_port()) +
                     "/packages/Pkg_2_0_0_4.deb</downloadUrl><notSafeDomains>localhost"
                     "</notSafeDomains>");
       },
       "Pkg_2_0_0_4.deb", Msg(2, 0), kCheckFailed, false, earlier_version, {}, 0},
      {"newer signed package",
       [&] {
         ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.5", "0.0.0.0", ""));
         service_->AddPackage("Pkg_2_0_0_5.deb", "package 5", true);
       },
       "Pkg_2_0_0_5.deb", Msg(1, 0), kCheckDownloaded, true, "2.0.0.5",
       {"Pkg_2_0_0_5.deb", "Pkg_2_0_0_5.deb.minisig"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_->ClearConfigOverride();
    c.offer();
    std::filesystem::remove_all(Packages());
    settings_.SetLastUpdateTime(static_cast<std::int32_t>(earlier & 0xFFFFFFFFu),
                                static_cast<std::int32_t>(earlier >> 32));
    settings_.SetAvailableVersion(VersionNumber(earlier_version));
    NewChecker();
    checker_->CheckForReadyUpgrade(loop_.Window());
    ASSERT_EQ(loop_.Next(), Msg(0, 0));
    const int requests_before = service_->RequestCount("/packages/" + c.package);

    EXPECT_EQ(RunCheck(), c.message);
    EXPECT_EQ(checker_->check_state(), c.state);
    EXPECT_EQ(settings_.last_update_file_time(), c.last_update_moved ? now : earlier);
    EXPECT_EQ(settings_.available_version().text(), c.available);
    EXPECT_EQ(PackageFiles(), c.files);
    EXPECT_EQ(service_->RequestCount("/packages/" + c.package) - requests_before,
              c.package_requests);
    EXPECT_EQ(checker_->package_ready(), c.message == Msg(1, 0));
    if (c.message == Msg(1, 0)) {
      EXPECT_EQ(checker_->package_path(), Packages() + "/" + c.package);
      EXPECT_EQ(checker_->version().text(), c.available);
      EXPECT_EQ(ReadFileOrEmpty(Packages() + "/" + c.package), "package 5");
    }
  }
  EXPECT_TRUE(log_.Contains("INFO Version running: 1.0.5.0"));
  EXPECT_TRUE(log_.Contains("INFO Latest version : 2.0.0.5"));
  EXPECT_TRUE(log_.Contains("INFO Min version    : 0.0.0.0"));
  EXPECT_TRUE(log_.Contains("INFO Download from  : " + PackageUrl("Pkg_2_0_0_5.deb")));
}

TEST_F(UpdateCheckerTest, UpgradeIsRequiredOnlyBelowAValidMinimumVersion) {
  service_->AddPackage("Pkg_2_0_0_0.deb", "package", true);
  struct Case {
    const char* min_version;
    bool required;
  };
  const std::vector<Case> cases = {
      {"1.0.0.0", false}, {"1.0.5", false}, {"1.0.5.1", true}, {"2.0", true}, {"abc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.min_version);
    ServeConfig(std::string("<latestVersion>2.0.0.0</latestVersion><minVersion>") +
                c.min_version + "</minVersion><downloadUrl sku=\"\">" +
                PackageUrl("Pkg_2_0_0_0.deb") + "</downloadUrl>");
    settings_.ClearAvailableVersion();
    NewChecker();
    Attach();
    EXPECT_FALSE(checker_->IsUpgradeRequired());  // nothing ready yet
    EXPECT_EQ(RunCheck(), Msg(1, 0));
    EXPECT_EQ(checker_->IsUpgradeRequired(), c.required);
  }
}

TEST_F(UpdateCheckerTest, PackageOnDiskIsVerifiedButNotFetchedAgain) {
  struct Case {
    const char* name;
    bool plant_signature;
    int signature_requests;
  };
  const std::vector<Case> cases = {
      {"package and signature on disk", true, 0},
      {"signature missing", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewChecker();
    Attach();
    PlantSignedPackage("Pkg_2_0_0_0.deb", "planted");
    if (!c.plant_signature) std::filesystem::remove(Packages() + "/Pkg_2_0_0_0.deb.minisig");
    const int package_before = service_->RequestCount("/packages/Pkg_2_0_0_0.deb");
    const int signature_before = service_->RequestCount("/packages/Pkg_2_0_0_0.deb.minisig");
    EXPECT_EQ(RunCheck(), Msg(1, 0));
    EXPECT_EQ(service_->RequestCount("/packages/Pkg_2_0_0_0.deb"), package_before);
    EXPECT_EQ(service_->RequestCount("/packages/Pkg_2_0_0_0.deb.minisig") - signature_before,
              c.signature_requests);
    EXPECT_EQ(PackageFiles(),
              (std::vector<std::string>{"Pkg_2_0_0_0.deb", "Pkg_2_0_0_0.deb.minisig"}));
  }
  // One that no longer verifies is deleted with its signature.
  settings_.ClearAvailableVersion();
  NewChecker();
  Attach();
  PlantSignedPackage("Pkg_2_0_0_0.deb", "planted");
  WriteFileOrDie(Packages() + "/Pkg_2_0_0_0.deb", "tampered");
  const int fetched_before = service_->RequestCount("/packages/Pkg_2_0_0_0.deb");
  EXPECT_EQ(RunCheck(), Msg(2, 0));
  EXPECT_EQ(service_->RequestCount("/packages/Pkg_2_0_0_0.deb"), fetched_before);
  EXPECT_TRUE(PackageFiles().empty());
  EXPECT_FALSE(checker_->package_ready());
}

// A package found at start-up stays the one offered when a later check of
// the same run fails; only a check that finds that very file untrusted (and
// deletes it) takes the offer back.
TEST_F(UpdateCheckerTest, AFailedCheckKeepsTheReadyPackageOffered) {
  struct Case {
    const char* name;
    const char* offered;
    bool tamper;
    bool still_ready;
  };
  const std::vector<Case> cases = {
      {"newer package not found", "2.0.0.1", false, true},
      {"configuration not found", nullptr, false, true},
      {"the ready package no longer verifies", "2.0.0.0", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_->ClearConfigOverride();
    ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.0", "0.0.0.0", ""));
    std::filesystem::remove_all(Packages());
    PlantSignedPackage("Pkg_2_0_0_0.deb", "ready at start-up");
    settings_.SetAvailableVersion(VersionNumber("2.0.0.0"));
    NewChecker();
    checker_->CheckForReadyUpgrade(loop_.Window());
    ASSERT_EQ(loop_.Next(), Msg(1, 1));
    if (c.offered != nullptr) {
      ASSERT_TRUE(service_->SetUpdateOffer(c.offered, "0.0.0.0", ""));
    } else {
      service_->OverrideConfig(404, "<html>gone</html>", "text/html");
    }
    if (c.tamper) WriteFileOrDie(Packages() + "/Pkg_2_0_0_0.deb", "swapped");
    EXPECT_EQ(RunCheck(), Msg(2, 0));
    EXPECT_EQ(checker_->package_ready(), c.still_ready);
    if (c.still_ready) {
      EXPECT_EQ(checker_->package_path(), Packages() + "/Pkg_2_0_0_0.deb");
      EXPECT_EQ(checker_->version().text(), "2.0.0.0");
      EXPECT_EQ(testing::ReadFileOrEmpty(checker_->package_path()), "ready at start-up");
    }
  }
  service_->ClearConfigOverride();
}

TEST_F(UpdateCheckerTest, StartUpTakesOnlyAVerifiedPackageOfANewerVersion) {
  struct Case {
    const char* name;
    std::string available;
    std::string planted;  // a signed package of this name; empty: none
    bool tamper;
    Message message;
    std::vector<std::string> left;
  };
  const std::vector<std::string> others = {"Pkg_0_9.deb", "pkg_old.DEB"};
  const std::vector<Case> cases = {
      {"newer version, package missing", "2.0.0.0", "", false, Msg(0, 0), {}},
      {"newer version, package verifies", "2.0.0.0", "Pkg_2_0_0_0.deb", false, Msg(1, 1),
       {"Pkg_0_9.deb", "Pkg_2_0_0_0.deb", "Pkg_2_0_0_0.deb.minisig", "pkg_old.DEB"}},
      {"newer version, package tampered with", "2.0.0.0", "Pkg_2_0_0_0.deb", true, Msg(0, 0), {}},
      {"version not newer", "1.0.5.0", "Pkg_1_0_5_0.deb", false, Msg(0, 0), {}},
      {"no version", "", "", false, Msg(0, 0), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Packages());
    for (const std::string& name : others) WriteFileOrDie(Packages() + "/" + name, "old");
    // Not packages: a folder and another kind of file stay.
    std::filesystem::create_directories(Packages() + "/Pkg_folder.deb");
    WriteFileOrDie(Packages() + "/notes.txt", "keep");
    if (!c.planted.empty()) PlantSignedPackage(c.planted, "content of " + c.planted);
    if (c.tamper) WriteFileOrDie(Packages() + "/" + c.planted, "swapped");
    WriteFileOrDie(settings_.path(), "<quol><general><availableVersion>" + c.available +
                                         "</availableVersion></general></quol>");
    ASSERT_EQ(settings_.Load(), S_OK);

    const std::size_t announced = CountOf(log_.Text(), "INFO Upgrade available: ");
    NewChecker();
    checker_->CheckForReadyUpgrade(loop_.Window());
    EXPECT_EQ(loop_.pending(), 1u);  // posted, not called
    EXPECT_EQ(loop_.Next(), c.message);
    std::vector<std::string> left = c.left;
    left.push_back("Pkg_folder.deb");
    left.push_back("notes.txt");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(PackageFiles(), left);
    const bool ready = c.message == Msg(1, 1);
    EXPECT_EQ(checker_->package_ready(), ready);
    EXPECT_EQ(checker_->package_path(), ready ? Packages() + "/" + c.planted : "");
    EXPECT_EQ(checker_->version().text(), ready ? c.available : "");
    EXPECT_EQ(CountOf(log_.Text(), "INFO Upgrade available: "), announced + (ready ? 1 : 0));
    if (ready) {
      EXPECT_TRUE(log_.Contains("INFO Upgrade available: " + Packages() + "/" + c.planted));
    }
  }
}

// Another process holds the machine-wide mutex: this one reports (2, 0) and
// fetches nothing.
TEST_F(UpdateCheckerTest, SecondProcessFindsTheCheckTakenAndFetchesNothing) {
  const std::string lock_path = platform::NamedMutex::LockFilePath(UpdateChecker::kMutexName);
  ::mkdir(platform::DirName(lock_path).c_str(), 01777);
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here: the parent has threads.
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    char go = 0;
    if (::read(release[0], &go, 1) < 0) ::_exit(3);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  Attach();

  const std::uint64_t before = settings_.last_update_file_time();
  EXPECT_EQ(RunCheck(), Msg(2, 0));
  EXPECT_EQ(service_->RequestCount("/QuolDevuzez/GlobalConfig_v2.xml"), 0);
  EXPECT_EQ(service_->RequestCount("/packages/Pkg_2_0_0_0.deb"), 0);
  EXPECT_EQ(settings_.last_update_file_time(), before);

  ASSERT_EQ(::write(release[1], "x", 1), 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

  // With the other process gone the check runs.
  service_->AddPackage("Pkg_2_0_0_0.deb", "package", true);
  EXPECT_EQ(RunCheck(), Msg(1, 0));
}

TEST_F(UpdateCheckerTest, StopEndsASlowDownloadAndLeavesNoFile) {
  testing::HttpTestServer slow;
  std::atomic<bool> started{false};
  slow.server().Get("/slow/Pkg_2_0_0_0.deb", [&](const httplib::Request&, httplib::Response& res) {
    started = true;
    res.set_chunked_content_provider("application/octet-stream",
                                     [](size_t, httplib::DataSink& sink) {
                                       std::this_thread::sleep_for(100ms);
                                       return sink.write("slowly", 6);
                                     });
  });
  slow.Start();
  ASSERT_TRUE(service_->SetUpdateOffer("2.0.0.0", "0.0.0.0", slow.Url("/slow/Pkg_2_0_0_0.deb")));
  checker_->CheckForReadyUpgrade(loop_.Window());
  ASSERT_EQ(loop_.Next(), Msg(0, 0));
  ASSERT_TRUE(checker_->StartCheck());
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while (!started && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(started);
  EXPECT_FALSE(checker_->StartCheck());  // never a second one while one runs

  const auto stop_began = std::chrono::steady_clock::now();
  checker_->Stop();
  // Liveness only: without the stop flag the transfer would run on for ever.
  EXPECT_LT(std::chrono::steady_clock::now() - stop_began, 10s);
  EXPECT_FALSE(checker_->checking());
  EXPECT_TRUE(PackageFiles().empty());
  EXPECT_EQ(loop_.pending(), 0u);  // a stopped check tells nobody
  EXPECT_FALSE(checker_->package_ready());
}

TEST_F(UpdateCheckerTest, DownloadFileWritesTheWholeAnswerOrNothing) {
  testing::HttpTestServer server;
  server.server().Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("User-Agent") + "|" + req.get_header_value("Pragma") +
                        "|" + req.get_header_value("Cache-Control"),
                    "application/octet-stream");
  });
  server.server().Get("/away", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://evil.example/Pkg.deb");
  });
  server.server().Get("/home", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(server.Url("/echo"));
  });
  server.Start();
  const std::string echoed = "QuolDevuzezAutoupdate/1.0.5.0|no-cache|no-cache";
  testing::TempDir dir;
  WriteFileOrDie(dir / "exists.deb", "old");
  struct Case {
    std::string path;
    std::string target;
    bool ok;
    std::string content;  // of the target afterwards
  };
  const std::vector<Case> cases = {
      {"/echo", "new/deeper/Pkg.deb", true, echoed},
      {"/home", "Pkg_redirected.deb", true, echoed},
      {"/missing", "Pkg_404.deb", false, ""},
      {"/away", "Pkg_away.deb", false, ""},
      {"/echo", "exists.deb", false, "old"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checker_->DownloadFile(server.Url(c.path), dir / c.target), c.ok) << c.path;
    EXPECT_EQ(ReadFileOrEmpty(dir / c.target), c.content) << c.path;
  }
  EXPECT_TRUE(log_.Contains("INFO File " + (dir / "exists.deb") + " already exists."));
  EXPECT_TRUE(log_.Contains("URL http://evil.example/Pkg.deb is not safe -- rejected."));
  // No temporary file is left anywhere.
  EXPECT_EQ(testing::ListFolder(dir.path()),
            (std::vector<std::string>{"Pkg_redirected.deb", "exists.deb", "new"}));
  EXPECT_EQ(testing::ListFolder(dir / "new/deeper"), std::vector<std::string>{"Pkg.deb"});
}

TEST_F(UpdateCheckerTest, PackageNamesComeOnlyFromPlainVersions) {
  struct Case {
    const char* version;
    const char* name;
  };
  const std::vector<Case> cases = {
      {"1.2.30.4", "Pkg_1_2_30_4.deb"},
      {"2.0", "Pkg_2_0.deb"},
      {"2/../../x", ""},
      {"1.0 ", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateChecker::PackageFileName(VersionNumber(c.version)), c.name) << c.version;
  }
}

TEST_F(UpdateCheckerTest, InstallerNeedsAPackage) {
  std::string error_text = "untouched";
  EXPECT_EQ(checker_->LaunchInstaller(env_.root(), &error_text), S_FALSE);
  EXPECT_EQ(error_text, "untouched");
}

}  // namespace
}  // namespace quol
