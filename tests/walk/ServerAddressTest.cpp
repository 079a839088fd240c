#include "walk/ServerAddress.h"

#include <gtest/gtest.h>

// Old entries keep their meaning and their folders, so stored positions are
// found again; the URL forms add TLS and a user.
TEST(ServerAddress, EntriesGiveHostPortTlsUserAndAFolderOfTheirOwn) {
  struct {
    const char* Entry;
    const char* Host;
    const char* Port;
    bool Tls;
    const char* User;
    const char* Shown;
    const char* Folder;
  } const cases[] = {
      {"news.example", "news.example", "nntp", false, "", "news.example", "news.example"},
      {"127.0.0.1:1119", "127.0.0.1", "1119", false, "", "127.0.0.1:1119", "127.0.0.1:1119"},
      {"news.example:x1", "news.example:x1", "nntp", false, "", "news.example:x1", "news.example:x1"},
      {"news.example:", "news.example:", "nntp", false, "", "news.example:", "news.example:"},
      {"news.example:65536", "news.example:65536", "nntp", false, "", "news.example:65536",
       "news.example:65536"},
      {"me@news.example", "me@news.example", "nntp", false, "", "me@news.example", "me@news.example"},
      {"nntps://news.example", "news.example", "563", true, "", "nntps://news.example",
       "nntps:__news.example"},
      {"NNTPS://news.example:443", "news.example", "443", true, "", "NNTPS://news.example:443",
       "NNTPS:__news.example:443"},
      {"nntp://news.example", "news.example", "nntp", false, "", "nntp://news.example",
       "nntp:__news.example"},
      {"nntps://me@news.example:5563/", "news.example", "5563", true, "me", "nntps://news.example:5563/",
       "nntps:__me@news.example:5563_"},
      {"nntps://me@mail.example@news.example", "news.example", "563", true, "me@mail.example",
       "nntps://news.example", "nntps:__me@mail.example@news.example"},
      {"nntp://news.example/a@b", "news.example", "nntp", false, "", "nntp://news.example/a@b",
       "nntp:__news.example_a@b"},
      {"..", "..", "nntp", false, "", "..", "__"},
  };
  for (const auto& c : cases) {
    const TServerAddress address = SplitServerAddress(c.Entry);
    EXPECT_EQ(address.Host, c.Host) << c.Entry;
    EXPECT_EQ(address.Port, c.Port) << c.Entry;
    EXPECT_EQ(address.Tls, c.Tls) << c.Entry;
    EXPECT_EQ(address.User, c.User) << c.Entry;
    EXPECT_EQ(ServerShownName(c.Entry), c.Shown) << c.Entry;
    EXPECT_EQ(ServerFolderName(c.Entry), c.Folder) << c.Entry;
  }
}
