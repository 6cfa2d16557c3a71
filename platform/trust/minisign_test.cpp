#include "platform/trust/minisign.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/common/diagnostics.h"
#include "platform/protect/base64.h"
#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFileOrDie;

std::vector<std::string> g_reports;
void CaptureReport(bool, const char* message) { g_reports.emplace_back(message); }

std::string Line(const std::string& text, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

std::string ReplaceLine(const std::string& text, int index, const std::string& line) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += (i == index ? line : Line(text, i)) + "\n";
  return out;
}

std::string Encoded(const std::string& bytes) {
  std::string base64 = Base64EncodeNoPadding(bytes);
  return base64 + std::string((4 - base64.size() % 4) % 4, '=');
}

// Signs with the real minisign tool, which the tests depend on.
class MinisignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access("/usr/bin/minisign", X_OK), 0)
        << "minisign is missing; the trust tests need it (apt-get install minisign)";
    SetDiagnosticSink(&CaptureReport);
    g_reports.clear();
  }
  void TearDown() override { SetDiagnosticSink(nullptr); }

  ::testing::AssertionResult Minisign(const std::string& args) {
    const std::string log = dir_ / "minisign.log";
    std::string command = "/usr/bin/minisign " + args + " </dev/null >" + log + " 2>&1";
    if (std::system(command.c_str()) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command << "\n" << ReadFileOrEmpty(log);
  }
  // Makes key pair `name` and returns the text of its public key file.
  std::string MakeKey(const std::string& name) {
    EXPECT_TRUE(Minisign("-G -W -p " + (dir_ / name) + ".pub -s " + (dir_ / name) + ".sec"));
    return ReadFileOrEmpty(dir_ / name + ".pub");
  }
  // Writes `content` to `file`, signs it with key "k" and returns the signature.
  std::string SignedFile(const std::string& file, const std::string& content, bool legacy) {
    WriteFileOrDie(dir_ / file, content);
    EXPECT_TRUE(Minisign(std::string("-S ") + (legacy ? "-l " : "") + "-s " + (dir_ / "k.sec") +
                         " -t 'release 7.2' -m " + (dir_ / file)));
    return ReadFileOrEmpty(dir_ / file + ".minisig");
  }

  TempDir dir_;
};

TEST_F(MinisignTest, AcceptsBothFormsFromTheToolThroughEveryEntryPoint) {
  const std::string pub = MakeKey("k");
  const std::string content("pkg\0\xff payload\n", 14);
  for (bool legacy : {true, false}) {
    SCOPED_TRACE(legacy ? "plain" : "pre-hashed");
    const std::string sig = SignedFile("pkg", content, legacy);
    ASSERT_EQ(Base64DecodeLenient(Line(sig, 1)).substr(0, 2), legacy ? "Ed" : "ED");
    std::string comment;
    EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", pub, &comment), S_OK);
    EXPECT_EQ(comment, "release 7.2");
    EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", Line(pub, 1)), S_OK);
    EXPECT_EQ(VerifyMinisign(content, sig, Line(pub, 1) + "\n", &comment), S_OK);
    EXPECT_EQ(comment, "release 7.2");
    std::string crlf;
    for (char c : sig) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(VerifyMinisign(content, crlf, pub), S_OK);
    EXPECT_EQ(VerifyMinisign("", SignedFile("empty", "", legacy), pub), S_OK);
  }
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(MinisignTest, RejectsChangedContentKeysAndComments) {
  const std::string pub = MakeKey("k");
  const std::string other = MakeKey("other");
  const std::string content = "upgrade package body";
  const std::string raw_key = Base64DecodeLenient(Line(pub, 1));
  for (bool legacy : {true, false}) {
    SCOPED_TRACE(legacy ? "plain" : "pre-hashed");
    const std::string sig = SignedFile("pkg", content, legacy);
    for (std::size_t i : {std::size_t{0}, content.size() / 2, content.size() - 1}) {
      std::string changed = content;
      changed[i] ^= 0x01;
      EXPECT_EQ(VerifyMinisign(changed, sig, pub), E_ACCESSDENIED) << "byte " << i;
    }
    EXPECT_EQ(VerifyMinisign(content + "x", sig, pub), E_ACCESSDENIED);
    EXPECT_EQ(VerifyMinisign(content, sig, other), E_ACCESSDENIED);
    // The other key's bytes under this key's id: the id alone proves nothing.
    const std::string impostor =
        raw_key.substr(0, 10) + Base64DecodeLenient(Line(other, 1)).substr(10);
    EXPECT_EQ(VerifyMinisign(content, sig, Encoded(impostor)), E_ACCESSDENIED);
    // The key id is outside both signatures, so only the id check catches this.
    std::string raw_sig = Base64DecodeLenient(Line(sig, 1));
    raw_sig[2] ^= 0x01;
    EXPECT_EQ(VerifyMinisign(content, ReplaceLine(sig, 1, Encoded(raw_sig)), pub), E_ACCESSDENIED);
    EXPECT_EQ(VerifyMinisign(content, ReplaceLine(sig, 2, "trusted comment: release 9.9"), pub),
              E_ACCESSDENIED);
    std::string comment = "stale";
    WriteFileOrDie(dir_ / "pkg", content + "!");
    EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", pub, &comment), E_ACCESSDENIED);
    EXPECT_EQ(comment, "");
    // Swapping the algorithm tag changes what the signature covers.
    std::string swapped = Base64DecodeLenient(Line(sig, 1));
    swapped[1] = legacy ? 'D' : 'd';
    EXPECT_EQ(VerifyMinisign(content, ReplaceLine(sig, 1, Encoded(swapped)), pub), E_ACCESSDENIED);
  }
}

TEST_F(MinisignTest, MalformedSignaturesAndKeysFailClosed) {
  const std::string pub = MakeKey("k");
  const std::string sig = SignedFile("pkg", "body", false);
  ASSERT_EQ(VerifyMinisign("body", sig, pub), S_OK);
  for (std::size_t n = 0; n + 1 < sig.size(); ++n) {
    ASSERT_LT(VerifyMinisign("body", sig.substr(0, n), pub), 0) << "cut at " << n;
  }
  EXPECT_EQ(VerifyMinisign("body", sig.substr(0, sig.size() - 1), pub), S_OK);

  const std::string sig_line = Line(sig, 1), global = Line(sig, 3);
  std::string unknown_alg = Base64DecodeLenient(sig_line);
  unknown_alg[1] = 'X';
  const std::vector<std::string> bad = {
      ReplaceLine(sig, 1, sig_line.substr(0, 10) + "!" + sig_line.substr(11)),
      ReplaceLine(sig, 1, sig_line + "AAAA"),
      ReplaceLine(sig, 1, " " + sig_line),
      ReplaceLine(sig, 1, sig_line.substr(0, sig_line.find('='))),
      ReplaceLine(sig, 1, Encoded(unknown_alg)),
      ReplaceLine(sig, 3, global.substr(0, global.size() - 4)),
      ReplaceLine(sig, 0, "untrusted comment:x"),
      ReplaceLine(sig, 2, "Trusted comment: " + Line(sig, 2).substr(17)),
      ReplaceLine(sig, 2, "trusted comment:" + Line(sig, 2).substr(17)),
      sig + "\n",
      ReplaceLine(sig, 0, "untrusted comment: " + std::string(kMaxSignatureFileBytes, 'x')),
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(VerifyMinisign("body", bad[i], pub), E_BAD_FORMAT) << "case " << i;
  }
  WriteFileOrDie(dir_ / "pkg.minisig", bad.back());
  EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", pub), E_BAD_FORMAT);

  std::string curve_key = Base64DecodeLenient(Line(pub, 1));
  curve_key[1] = 'D';
  for (const std::string& key : {Line(pub, 1) + "=", pub + "\nextra", "comment\n" + Line(pub, 1),
                                 Encoded(curve_key), std::string()}) {
    EXPECT_EQ(VerifyMinisign("body", sig, key), E_BAD_FORMAT) << key;
  }
}

TEST_F(MinisignTest, FileChecksReportAndRefuseWhatTheyCannotVerify) {
  const std::string pub = MakeKey("k");
  WriteFileOrDie(dir_ / "unsigned", "x");
  EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "unsigned", pub), E_NOT_FOUND);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_NE(g_reports[0].find(dir_ / "unsigned"), std::string::npos) << g_reports[0];
  EXPECT_NE(g_reports[0].find("no signature"), std::string::npos) << g_reports[0];
  EXPECT_EQ(VerifyFileSignature(dir_ / "unsigned"), E_NOT_FOUND);

  // A plain signature needs the whole file in memory; past the limit it is refused.
  const std::string sig = SignedFile("big", "x", true);
  ASSERT_EQ(::truncate((dir_ / "big").c_str(), kMaxPlainSignedFileBytes + 1), 0);
  EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "big", pub), E_OUTOFMEMORY);
  // A FIFO in the file's place must neither hang nor pass.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  WriteFileOrDie(dir_ / "fifo.minisig", sig);
  EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "fifo", pub), E_BAD_FORMAT);
}

TEST_F(MinisignTest, TrustsBuiltInKeysAndTheTestKeyOnlyWhereAllowed) {
  const std::string pub = MakeKey("k");
  const std::string other = MakeKey("other");
  SignedFile("pkg", "bundle", false);
  ScopedEnv unset(kTestTrustKeyVariable, std::nullopt);
  const std::vector<std::string> built_in = TrustedPublicKeys();
  ASSERT_FALSE(built_in.empty());
  for (const std::string& key : built_in) {  // each parses, but signed this file not
    EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", key), E_ACCESSDENIED) << key;
  }
  EXPECT_EQ(VerifyFileSignature(dir_ / "pkg"), E_ACCESSDENIED);
  ASSERT_FALSE(g_reports.empty());
  EXPECT_NE(g_reports.back().find("not trusted"), std::string::npos) << g_reports.back();

  ScopedEnv env(kTestTrustKeyVariable, dir_ / "k.pub");
  std::string comment;
  if (TestTrustKeyAllowed()) {
    EXPECT_EQ(VerifyFileSignature(dir_ / "pkg", &comment), S_OK);
    EXPECT_EQ(comment, "release 7.2");
    std::vector<std::string> with_test_key = built_in;
    with_test_key.push_back(Line(pub, 1));
    EXPECT_EQ(TrustedPublicKeys(), with_test_key);
  } else {
    EXPECT_EQ(VerifyFileSignature(dir_ / "pkg"), E_ACCESSDENIED);
    EXPECT_EQ(TrustedPublicKeys(), built_in);
  }
  // An explicit key is the only key that counts on that path.
  EXPECT_EQ(VerifyFileSignatureWithKey(dir_ / "pkg", other), E_ACCESSDENIED);

  WriteFileOrDie(dir_ / "garbage.pub", "untrusted comment: x\nnot a key\n");
  ScopedEnv broken(kTestTrustKeyVariable, dir_ / "garbage.pub");
  EXPECT_EQ(TrustedPublicKeys(), built_in);
  EXPECT_EQ(VerifyFileSignature(dir_ / "pkg"), E_ACCESSDENIED);
}

}  // namespace
}  // namespace quol::platform
