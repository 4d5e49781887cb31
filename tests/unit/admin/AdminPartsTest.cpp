// The admin library's small parts: request targets, listen addresses, the token file, the
// token comparison and the wait for the core's thread.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include "LabelledCase.h"

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "CoreCall.h"
#include "CoreHarness.h"
#include "ListenAddress.h"
#include "RequestTarget.h"
#include "TokenFile.h"

namespace zorva {
namespace {

using testing::kCaseLabel;
using testing::PrintTo;

using Segments = std::vector<std::string>;

struct TTargetCase {
  const char* Label;
  std::string Target;
  std::optional<Segments> Expected;  // nullopt: refused
  std::map<std::string, std::string> Query;
};

class RequestTargetTest : public ::testing::TestWithParam<TTargetCase> {};

TEST_P(RequestTargetTest, SplitsAndDecodesEachSegment) {
  const auto parsed = ParseRequestTarget(GetParam().Target);
  ASSERT_EQ(parsed.has_value(), GetParam().Expected.has_value());
  if (!parsed) return;
  EXPECT_EQ(parsed->Segments, *GetParam().Expected);
  EXPECT_EQ(parsed->Query, GetParam().Query);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RequestTargetTest,
    ::testing::Values(
        TTargetCase{"root", "/", Segments{}, {}},
        TTargetCase{"plain", "/v1/users", Segments{"v1", "users"}, {}},
        TTargetCase{"encoded_space", "/v1/a%20b", Segments{"v1", "a b"}, {}},
        TTargetCase{"encoded_slash_stays_inside", "/v1/a%2Fb/c", Segments{"v1", "a/b", "c"}, {}},
        TTargetCase{"plus_in_path_is_plus", "/v1/a+b", Segments{"v1", "a+b"}, {}},
        TTargetCase{"lower_case_hex", "/%7e", Segments{"~"}, {}},
        TTargetCase{"encoded_nul_kept", "/a%00b", Segments{std::string("a\0b", 3)}, {}},
        TTargetCase{"trailing_slash", "/v1/", Segments{"v1", ""}, {}},
        TTargetCase{"query",
                    "/v1/users?code=A+B&x=%26",
                    Segments{"v1", "users"},
                    {{"code", "A B"}, {"x", "&"}}},
        TTargetCase{"query_key_only", "/u?code", Segments{"u"}, {{"code", ""}}},
        TTargetCase{"empty_query_pairs", "/u?&&", Segments{"u"}, {}},
        TTargetCase{"percent_at_end", "/v1/a%", std::nullopt, {}},
        TTargetCase{"one_hex_digit", "/v1/a%4", std::nullopt, {}},
        TTargetCase{"not_hex", "/v1/%zz", std::nullopt, {}},
        TTargetCase{"broken_query", "/v1?code=%g1", std::nullopt, {}},
        TTargetCase{"relative", "v1/users", std::nullopt, {}},
        TTargetCase{"empty", "", std::nullopt, {}},
        TTargetCase{"absolute_url", "http://h/v1", std::nullopt, {}}),
    kCaseLabel);

struct TAddressCase {
  const char* Label;
  std::string Text;
  std::optional<std::string> Host;  // nullopt: refused
  std::uint16_t Port;
};

class ListenAddressTest : public ::testing::TestWithParam<TAddressCase> {};

TEST_P(ListenAddressTest, ParsesHostAndPort) {
  const auto parsed = ParseListenAddress(GetParam().Text);
  ASSERT_EQ(parsed.has_value(), GetParam().Host.has_value());
  if (!parsed) return;
  EXPECT_EQ(parsed->Host, *GetParam().Host);
  EXPECT_EQ(parsed->Port, GetParam().Port);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ListenAddressTest,
    ::testing::Values(TAddressCase{"ipv4", "127.0.0.1:8089", "127.0.0.1", 8089},
                      TAddressCase{"any_port", "0.0.0.0:0", "0.0.0.0", 0},
                      TAddressCase{"highest_port", "h:65535", "h", 65535},
                      TAddressCase{"ipv6", "[::1]:9000", "::1", 9000},
                      TAddressCase{"port_too_big", "h:65536", std::nullopt, 0},
                      TAddressCase{"negative_port", "h:-1", std::nullopt, 0},
                      TAddressCase{"no_port", "127.0.0.1", std::nullopt, 0},
                      TAddressCase{"empty_port", "127.0.0.1:", std::nullopt, 0},
                      TAddressCase{"no_host", ":8089", std::nullopt, 0},
                      TAddressCase{"port_with_text", "h:80x", std::nullopt, 0},
                      TAddressCase{"ipv6_without_brackets", "::1:9000", std::nullopt, 0},
                      TAddressCase{"empty_brackets", "[]:9000", std::nullopt, 0}),
    kCaseLabel);

TEST(ListenAddressTest, UrlBracketsAnIpv6Host) {
  EXPECT_EQ(HttpUrl({"127.0.0.1", 80}), "http://127.0.0.1:80");
  EXPECT_EQ(HttpUrl({"::1", 80}), "http://[::1]:80");
}

struct TTokenCase {
  const char* Label;
  std::string Presented;
  bool Equal;
};

class TokensEqualTest : public ::testing::TestWithParam<TTokenCase> {};

TEST_P(TokensEqualTest, MatchesOnlyTheWholeToken) {
  EXPECT_EQ(TokensEqual("abcdef", GetParam().Presented), GetParam().Equal);
}

INSTANTIATE_TEST_SUITE_P(Tokens, TokensEqualTest,
                         ::testing::Values(TTokenCase{"same", "abcdef", true},
                                           TTokenCase{"empty", "", false},
                                           TTokenCase{"prefix", "abcde", false},
                                           TTokenCase{"longer", "abcdefabcdef", false},
                                           TTokenCase{"last_byte", "abcdeg", false},
                                           TTokenCase{"first_byte", "bbcdef", false},
                                           TTokenCase{"case", "ABCDEF", false}),
                         kCaseLabel);

TEST(TokensEqualTest, AnEmptyExpectedTokenMatchesNothing) {
  EXPECT_FALSE(TokensEqual("", ""));
  EXPECT_FALSE(TokensEqual("", "x"));
}

class TokenFileTest : public ::testing::Test {
 protected:
  TokenFileTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorva-token-XXXXXX").string();
    Folder = ::mkdtemp(pattern.data());
  }
  ~TokenFileTest() override { std::filesystem::remove_all(Folder); }

  std::filesystem::path Folder;
  std::string Error;
};

TEST_F(TokenFileTest, AMissingFileIsMadeOwnerOnlyAndReadBackTheSame) {
  const auto path = (Folder / "sub" / "admin-token").string();
  const auto made = LoadOrCreateToken(path, Error);
  ASSERT_TRUE(made) << Error;
  EXPECT_EQ(made->size(), 64u);
  EXPECT_EQ(made->find_first_not_of("0123456789abcdef"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(LoadOrCreateToken(path, Error), made);
  EXPECT_NE(LoadOrCreateToken((Folder / "other").string(), Error), made);
}

TEST_F(TokenFileTest, AnExistingTokenIsReadWithoutItsLineEnd) {
  const auto path = (Folder / "t").string();
  std::ofstream(path) << "my-token \r\n";
  EXPECT_EQ(LoadOrCreateToken(path, Error), "my-token");
}

TEST_F(TokenFileTest, AnEmptyOrUnreadableFileIsAnError) {
  const auto empty = (Folder / "empty").string();
  std::ofstream(empty) << "\n";
  EXPECT_FALSE(LoadOrCreateToken(empty, Error));
  EXPECT_NE(Error.find("holds no token"), std::string::npos);
  EXPECT_FALSE(ReadToken((Folder / "missing").string(), Error));
  EXPECT_FALSE(LoadOrCreateToken(Folder.string(), Error));  // a folder, not a file
}

TEST_F(TokenFileTest, TheDefaultPathIsBesideTheSettingsFile) {
  EXPECT_EQ(DefaultTokenPath("/etc/zorva/Win.ini"), "/etc/zorva/admin-token");
}

// Keeps posted tasks until the test runs them, like a core busy elsewhere.
class QueueTransport : public testing::FakeTransport {
 public:
  void Post(std::function<void()> task) override {
    std::lock_guard lock(Mutex);
    Tasks.push_back(std::move(task));
  }
  bool RunOne() {
    std::function<void()> task;
    {
      std::lock_guard lock(Mutex);
      if (Tasks.empty()) return false;
      task = std::move(Tasks.front());
      Tasks.pop_front();
    }
    task();
    return true;
  }

  std::mutex Mutex;
  std::deque<std::function<void()>> Tasks;
};

TEST(CoreCallTest, ALateCoreNeverRunsTheAbandonedTask) {
  QueueTransport transport;
  bool ran = false;
  EXPECT_FALSE(RunOnCore(
      transport, [&] { ran = true; }, std::chrono::milliseconds(1)));
  ASSERT_TRUE(transport.RunOne());
  EXPECT_FALSE(ran);
}

TEST(CoreCallTest, WaitsForTheCoreThreadToRunTheTask) {
  QueueTransport transport;
  std::atomic<bool> stop = false;
  std::thread core([&] {
    while (!stop) {
      if (!transport.RunOne()) std::this_thread::yield();
    }
  });
  int value = 0;
  EXPECT_TRUE(RunOnCore(
      transport, [&] { value = 42; }, std::chrono::seconds(30)));
  EXPECT_EQ(value, 42);
  stop = true;
  core.join();
}

}  // namespace
}  // namespace zorva
