// The handler's rules: the prefix table, the programs and argument vectors
// each URL starts (with process creation recorded), the image read-out and
// what the host hears, and, with real processes, that hostile URLs reach a
// program as one unchanged argument or not at all, one process per action.
#include "protocol/protocol_handler.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol::protocol {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;
using quol::testing::ListFolder;
using quol::testing::ReadFileOrEmpty;
using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

constexpr char kClient[] = "/opt/quol/QuolDevuzez";
constexpr char kSaver[] = "/opt/quol/QuolScreensaver";

void SetRecord(const char* name, const std::string& value) {
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryHive::kLocalMachine, kInstallKey), S_OK);
  ASSERT_EQ(key.WriteString(name, value), S_OK);
}

void ClearRecord() { (void)platform::DeleteRegistryKey(RegistryHive::kLocalMachine, kInstallKey); }

// Every launch the handler asks for, without starting anything.
struct Recorder {
  std::vector<Launch> launches;
  HRESULT result = S_OK;

  HandlerOptions Options() {
    HandlerOptions options;
    options.spawn = [this](const std::string& path, const std::vector<std::string>& args, pid_t* pid) {
      launches.push_back({path, args});
      *pid = 0;
      return result;
    };
    options.active_window = [] { return 4242ul; };
    options.running_as_root = [] { return false; };
    options.pkexec_path = "/nonexistent/pkexec";
    return options;
  }
};

TEST(ParseQuolUrlTest, PrefixTable) {
  struct Case {
    std::string url;
    QuolAction action;
    std::string rest;
  };
  const std::string long_go = "quol://explorer/go/" + std::string(kMaxUrlBytes - 19, 'a');
  const Case cases[] = {
      {"quol://collage/show/", QuolAction::kShowSaver, ""},
      {"QUOL://COLLAGE/SHOW/", QuolAction::kShowSaver, ""},
      {"quol://collage/show", QuolAction::kNone, ""},
      {"quol://collage/settings/", QuolAction::kClientSettings, ""},
      {"quol://Collage/Settings/more", QuolAction::kClientSettings, ""},
      {"quol://collage/setunset/", QuolAction::kClientSetUnset, ""},
      {"quol://explorer/show/", QuolAction::kClientShow, ""},
      {"quol://explorer/go/calendar/week?x=1", QuolAction::kClientGo, "calendar/week?x=1"},
      {"QUOL://EXPLORER/GO/Calendar/Week", QuolAction::kClientGo, "Calendar/Week"},
      {"quol://explorer/go/", QuolAction::kClientGo, ""},
      {"quol://explorer/isinstalled/", QuolAction::kIsInstalled, ""},
      {"quol://explorer/isinstalled", QuolAction::kNone, ""},
      {"quol://explorer/other/", QuolAction::kNone, ""},
      {"http://collage/show/", QuolAction::kNone, ""},
      {" quol://collage/show/", QuolAction::kNone, ""},
      {"quol://ab", QuolAction::kNone, ""},  // 9 characters
      {"", QuolAction::kNone, ""},
      {"quol://explorer/go/a\nb", QuolAction::kNone, ""},
      {"quol://explorer/go/a\tb", QuolAction::kNone, ""},
      {"quol://explorer/go/a\x7f", QuolAction::kNone, ""},
      {std::string("quol://explorer/go/a\0b", 22), QuolAction::kNone, ""},
      {long_go, QuolAction::kClientGo, long_go.substr(19)},
      {long_go + "a", QuolAction::kNone, ""},
  };
  for (const Case& c : cases) {
    const QuolRequest request = ParseQuolUrl(c.url);
    EXPECT_EQ(request.action, c.action) << c.url.substr(0, 60);
    EXPECT_EQ(request.rest, c.rest) << c.url.substr(0, 60);
  }
}

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRecord();
    ReapLaunchedChildren();
  }
  void TearDown() override { ClearRecord(); }
  Recorder recorder_;
};

TEST_F(HandlerTest, EachUrlStartsItsProgramWithItsSwitches) {
  SetRecord(kClientValue, kClient);
  SetRecord(kSaverValue, kSaver);
  struct Case {
    std::string url;
    Launch launch;
  };
  const Case cases[] = {
      {"quol://collage/show/", {kSaver, {"/P"}}},
      {"Quol://Collage/Show/", {kSaver, {"/P"}}},
      {"quol://collage/settings/", {kClient, {"/c"}}},
      {"quol://explorer/show/", {kClient, {"/p"}}},
      {"quol://explorer/go/calendar/week?x=1", {kClient, {"/n", "calendar/week?x=1"}}},
      {"quol://explorer/go/", {kClient, {"/n"}}},
      {"quol://collage/setunset/", {kClient, {"/e", "4242"}}},
  };
  for (const Case& c : cases) {
    recorder_.launches.clear();
    CProtocolHandler handler(recorder_.Options());
    EXPECT_EQ(handler.Start(c.url, true, nullptr), S_OK) << c.url;
    ASSERT_EQ(recorder_.launches.size(), 1u) << c.url;
    EXPECT_EQ(recorder_.launches[0].path, c.launch.path) << c.url;
    EXPECT_EQ(recorder_.launches[0].args, c.launch.args) << c.url;
  }
}

TEST_F(HandlerTest, ElevatedOpeningGoesThroughPkexecUnlessRoot) {
  SetRecord(kClientValue, kClient);
  TempDir dir;
  const std::string pkexec = dir / "pkexec";
  WriteFileOrDie(pkexec, "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(::chmod(pkexec.c_str(), 0755), 0);

  HandlerOptions options = recorder_.Options();
  options.pkexec_path = pkexec;
  CProtocolHandler user(options);
  EXPECT_EQ(user.Start("quol://collage/setunset/", true, nullptr), S_OK);
  options.running_as_root = [] { return true; };
  CProtocolHandler root(options);
  EXPECT_EQ(root.Start("quol://collage/setunset/", true, nullptr), S_OK);

  ASSERT_EQ(recorder_.launches.size(), 2u);
  EXPECT_EQ(recorder_.launches[0].path, pkexec);
  EXPECT_EQ(recorder_.launches[0].args, (std::vector<std::string>{kClient, "/e", "4242"}));
  EXPECT_EQ(recorder_.launches[1].path, kClient);
  EXPECT_EQ(recorder_.launches[1].args, (std::vector<std::string>{"/e", "4242"}));
}

TEST_F(HandlerTest, SaverPathFallsBackToTheInstalledHack) {
  struct Case {
    const char* name;
    std::optional<std::string> value;
    std::string expected;
  };
  const Case cases[] = {
      {"missing", std::nullopt, kInstalledSaverPath},
      {"empty", "", kInstalledSaverPath},
      {"over 260 characters", "/" + std::string(260, 's'), kInstalledSaverPath},
      {"260 characters", "/" + std::string(259, 's'), "/" + std::string(259, 's')},
      {"set", kSaver, kSaver},
  };
  for (const Case& c : cases) {
    ClearRecord();
    SetRecord(kClientValue, kClient);  // the key exists, only the value varies
    if (c.value) SetRecord(kSaverValue, *c.value);
    recorder_.launches.clear();
    CProtocolHandler handler(recorder_.Options());
    EXPECT_EQ(handler.Start("quol://collage/show/", true, nullptr), S_OK) << c.name;
    ASSERT_EQ(recorder_.launches.size(), 1u) << c.name;
    EXPECT_EQ(recorder_.launches[0].path, c.expected) << c.name;
  }
}

TEST_F(HandlerTest, WhatIsNotHandledStartsNothing) {
  struct Case {
    const char* name;
    std::optional<std::string> client;  // nullopt: no installation record
    std::string url;
    bool allowed;
    HRESULT spawn_result;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no record: client action", std::nullopt, "quol://collage/settings/", true, S_OK, E_FAIL},
      {"no record: go", std::nullopt, "quol://explorer/go/x", true, S_OK, E_FAIL},
      {"no record: setunset", std::nullopt, "quol://collage/setunset/", true, S_OK, E_FAIL},
      {"empty client path", "", "quol://explorer/show/", true, S_OK, E_FAIL},
      {"client path over 260", "/" + std::string(260, 'c'), "quol://explorer/show/", true, S_OK, E_FAIL},
      {"no record: installed check", std::nullopt, "quol://explorer/isinstalled/", true, S_OK, S_OK},
      {"unknown prefix", kClient, "quol://explorer/unknown/", true, S_OK, E_FAIL},
      {"page refused by the policy", kClient, "quol://collage/settings/", false, S_OK, E_FAIL},
      {"installed check, page refused", kClient, "quol://explorer/isinstalled/", false, S_OK, E_FAIL},
      {"saver could not start", kClient, "quol://collage/show/", true, E_FAIL, E_FAIL},
      {"client could not start", kClient, "quol://explorer/show/", true, E_FAIL, E_FAIL},
  };
  for (const Case& c : cases) {
    ClearRecord();
    if (c.client) SetRecord(kClientValue, *c.client);
    recorder_.launches.clear();
    recorder_.result = c.spawn_result;
    int data_reports = 0;
    QuolProtocolSink sink{};
    sink.context = &data_reports;
    sink.report_data = [](void* context, uint32_t, uint32_t, uint32_t) { ++*static_cast<int*>(context); };
    CProtocolHandler handler(recorder_.Options());
    EXPECT_EQ(handler.Start(c.url, c.allowed, &sink), c.expected) << c.name;
    const bool tried_to_start = c.spawn_result != S_OK;
    EXPECT_EQ(recorder_.launches.size(), tried_to_start ? 1u : 0u) << c.name;
    EXPECT_EQ(data_reports, c.expected == S_OK ? 2 : 0) << c.name;
    std::uint8_t buffer[64];
    std::uint32_t read = 99;
    EXPECT_EQ(handler.Read(buffer, sizeof buffer, &read), c.expected == S_OK ? S_OK : E_UNEXPECTED)
        << c.name;
  }
}

// What the host hears, in order.
struct SinkLog {
  std::vector<std::string> events;
  static QuolProtocolSink Make(SinkLog* log) {
    QuolProtocolSink sink{};
    sink.context = log;
    sink.report_data = [](void* c, uint32_t flags, uint32_t progress, uint32_t max) {
      static_cast<SinkLog*>(c)->events.push_back("data " + std::to_string(flags) + " " +
                                                 std::to_string(progress) + "/" + std::to_string(max));
    };
    sink.report_progress = [](void* c, uint32_t status, const char* text) {
      static_cast<SinkLog*>(c)->events.push_back("progress " + std::to_string(status) + " " + text);
    };
    sink.report_result = [](void* c, int32_t result, uint32_t status, const char* text) {
      static_cast<SinkLog*>(c)->events.push_back("result " + std::to_string(result) + " " +
                                                 std::to_string(status) + (text ? " text" : ""));
    };
    return sink;
  }
};

TEST_F(HandlerTest, ImageReadsOutInChunksThenEnds) {
  SinkLog log;
  const QuolProtocolSink sink = SinkLog::Make(&log);
  CProtocolHandler handler(recorder_.Options());
  for (int round = 0; round < 2; ++round) {  // a reused handler starts over
    log.events.clear();
    ASSERT_EQ(handler.Start("quol://explorer/isinstalled/", true, &sink), S_OK);
    EXPECT_EQ(log.events, (std::vector<std::string>{"data 1 50/100", "progress 13 image/gif",
                                                    "data 8 100/100"}));
    log.events.clear();
    std::vector<std::uint8_t> image;
    std::vector<std::uint32_t> counts;
    std::uint8_t buffer[10];
    std::uint32_t read = 0;
    HRESULT hr = S_OK;
    for (int call = 0; call < 20 && (hr = handler.Read(buffer, sizeof buffer, &read)) == S_OK; ++call) {
      counts.push_back(read);
      image.insert(image.end(), buffer, buffer + read);
      if (call == 1) {
        std::uint32_t zero_read = 7;
        EXPECT_EQ(handler.Read(buffer, 0, &zero_read), E_UNEXPECTED);
        EXPECT_EQ(zero_read, 0u);
      }
    }
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(counts, (std::vector<std::uint32_t>{10, 10, 10, 10, 3}));
    EXPECT_EQ(image, std::vector<std::uint8_t>(kResponseImage.begin(), kResponseImage.end()));
    EXPECT_EQ(log.events, (std::vector<std::string>{"progress 22 image/gif", "result 0 200"}));
  }
  EXPECT_TRUE(recorder_.launches.empty());
}

TEST(ResponseImageTest, IsTheOneWhitePixelGif) {
  const std::string text(kResponseImage.begin(), kResponseImage.end());
  EXPECT_EQ(text.substr(0, 6), "GIF89a");
  EXPECT_EQ(kResponseImage[6], 1);   // width 1
  EXPECT_EQ(kResponseImage[8], 1);   // height 1
  EXPECT_EQ(kResponseImage[13], 0xFF);  // first colour white
  EXPECT_EQ(kResponseImage.back(), 0x3B);
}

// --- real processes ---------------------------------------------------------

// A program that writes its arguments, NUL-separated, to DIR/run.<pid>, and
// with DIR/hold present waits (at most 30 s) until DIR/release appears.
std::string MakeRecordingProgram(const TempDir& dir) {
  const std::string program = dir / "client";
  WriteFileOrDie(program,
                 "#!/bin/sh\n"
                 "out='" + dir.path() + "/run.'$$\n"
                 "for a in \"$@\"; do printf '%s\\000' \"$a\"; done > \"$out.tmp\"\n"
                 "mv \"$out.tmp\" \"$out\"\n"
                 "i=0\n"
                 "while [ -e '" + dir.path() + "/hold' ] && [ ! -e '" + dir.path() +
                     "/release' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n");
  EXPECT_EQ(::chmod(program.c_str(), 0755), 0);
  return program;
}

std::vector<std::vector<std::string>> Runs(const TempDir& dir) {
  std::vector<std::vector<std::string>> runs;
  for (const std::string& name : ListFolder(dir.path())) {
    if (name.rfind("run.", 0) != 0 || name.find(".tmp") != std::string::npos) continue;
    const std::string bytes = ReadFileOrEmpty(dir / name);
    std::vector<std::string> args;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
      args.push_back(bytes.substr(start, end - start));
    }
    runs.push_back(args);
  }
  return runs;
}

// Liveness bound only: children that never end fail the test instead of
// hanging it.
bool WaitForChildren(std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReapLaunchedChildren() > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST_F(HandlerTest, HostileUrlsReachTheProgramUnchangedOrNotAtAll) {
  TempDir dir;
  SetRecord(kClientValue, MakeRecordingProgram(dir));
  const std::string hostile =
      "a;b $(touch " + dir.path() + "/pwned) `touch " + dir.path() +
      "/pwned2` 'single' \"double\" | tee x & y > z";
  struct Case {
    const char* name;
    std::string url;
    bool handled;
  };
  const Case cases[] = {
      {"shell text in the go rest", "quol://explorer/go/" + hostile, true},
      {"100 KB", "quol://explorer/go/" + std::string(100 * 1024, 'x'), false},
      {"control characters", "quol://explorer/go/a\r\nb\x1b[2J", false},
  };
  for (const Case& c : cases) {
    CProtocolHandler handler;  // the real process creation
    EXPECT_EQ(handler.Start(c.url, true, nullptr), c.handled ? S_OK : E_FAIL) << c.name;
    ASSERT_TRUE(WaitForChildren()) << c.name;
  }
  const auto runs = Runs(dir);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"/n", hostile}));
  EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
  EXPECT_FALSE(std::filesystem::exists(dir / "pwned2"));
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "z"));
}

TEST_F(HandlerTest, OneProcessPerActionAtATime) {
  TempDir dir;
  SetRecord(kClientValue, MakeRecordingProgram(dir));
  WriteFileOrDie(dir / "hold", "");
  CProtocolHandler handler;
  ASSERT_EQ(handler.Start("quol://explorer/show/", true, nullptr), S_OK);
  // The first process still runs: the same action again starts nothing,
  // another action starts its own.
  CProtocolHandler other;
  EXPECT_EQ(other.Start("quol://explorer/show/", true, nullptr), S_OK);
  EXPECT_EQ(other.Start("quol://collage/settings/", true, nullptr), S_OK);
  EXPECT_EQ(ReapLaunchedChildren(), 2);

  WriteFileOrDie(dir / "release", "");
  ASSERT_TRUE(WaitForChildren());
  EXPECT_EQ(handler.Start("quol://explorer/show/", true, nullptr), S_OK);
  ASSERT_TRUE(WaitForChildren());

  auto runs = Runs(dir);
  std::sort(runs.begin(), runs.end());
  EXPECT_EQ(runs, (std::vector<std::vector<std::string>>{{"/c"}, {"/p"}, {"/p"}}));
}

TEST_F(HandlerTest, MissingProgramIsNotHandled) {
  SetRecord(kSaverValue, "/nonexistent/QuolScreensaver");
  CProtocolHandler handler;
  EXPECT_EQ(handler.Start("quol://collage/show/", true, nullptr), E_FAIL);
  EXPECT_EQ(ReapLaunchedChildren(), 0);
}

// The shared library as a browser host sees it: loaded by name, only the
// C interface exported.
TEST(SharedLibraryTest, HostLoadsTheCInterface) {
  void* library = ::dlopen(QUOL_PROTOCOL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto create = reinterpret_cast<decltype(&QuolProtocolCreate)>(::dlsym(library, "QuolProtocolCreate"));
  auto destroy = reinterpret_cast<decltype(&QuolProtocolDestroy)>(::dlsym(library, "QuolProtocolDestroy"));
  auto start = reinterpret_cast<decltype(&QuolProtocolStart)>(::dlsym(library, "QuolProtocolStart"));
  auto read = reinterpret_cast<decltype(&QuolProtocolRead)>(::dlsym(library, "QuolProtocolRead"));
  auto reap = reinterpret_cast<decltype(&QuolProtocolReapChildren)>(::dlsym(library, "QuolProtocolReapChildren"));
  auto installed =
      reinterpret_cast<decltype(&QuolProtocolIsInstalled)>(::dlsym(library, "QuolProtocolIsInstalled"));
  ASSERT_TRUE(create && destroy && start && read && reap && installed);
  // The suite's own code inside stays private.
  EXPECT_EQ(::dlsym(library, "_ZN4quol8protocol12ParseQuolUrlESt17basic_string_viewIcSt11char_traitsIcEE"),
            nullptr);

  int16_t value = 0;
  EXPECT_EQ(installed(&value), QUOL_S_OK);
  EXPECT_EQ(value, -1);

  QuolProtocol* handler = create();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(start(handler, "quol://collage/show", 1, nullptr), QUOL_E_FAIL);
  ASSERT_EQ(start(handler, "QUOL://explorer/ISINSTALLED/", 1, nullptr), QUOL_S_OK);
  std::uint8_t buffer[64];
  std::uint32_t count = 0;
  ASSERT_EQ(read(handler, buffer, sizeof buffer, &count), QUOL_S_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + count),
            std::vector<std::uint8_t>(kResponseImage.begin(), kResponseImage.end()));
  EXPECT_EQ(read(handler, buffer, sizeof buffer, &count), QUOL_S_FALSE);
  EXPECT_EQ(reap(), 0);
  destroy(handler);
  ::dlclose(library);
}

}  // namespace
}  // namespace quol::protocol
